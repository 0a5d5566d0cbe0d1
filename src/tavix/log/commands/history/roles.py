"""The roles of the team service's keys and users, weakest first; kept apart
from the index's tables so that the command line names them without loading
the database layer."""

ROLES = ("viewer", "pusher", "triager", "admin")
