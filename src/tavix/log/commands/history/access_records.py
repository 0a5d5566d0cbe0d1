"""The team service's access keys and the roles of its users, kept in the run index.

A key is shown once, as it is made; the index keeps only its SHA-256, so the
database and its backups give no key away. A revoked key stays listed, and
its name taken, so that a session signed for that name never comes back to life.
"""
import datetime
import hashlib
import secrets
import time

from sqlalchemy import select

from . import schema
from .roles import ROLES
KEY_PREFIX = "tvx_"
# Longer texts are no key: refused before anything is hashed or looked up.
_KEY_CHARS = 128
NAME_CHARS = 200
SECRET_SETTING = "service_secret"


class AccessRecordError(ValueError):
    """A name, a role or a key name the index cannot take; the message says why."""


def key_hash(key):
    return hashlib.sha256(key.encode("utf-8", "surrogatepass")).hexdigest()


def checked_role(role):
    if role not in ROLES:
        raise AccessRecordError("a role is one of %s, not %r" % (", ".join(ROLES), role))
    return role


def checked_name(name):
    """A key's or user's name: printable text of 1 to NAME_CHARS characters (it is written in logs)."""
    if not isinstance(name, str) or not name or len(name) > NAME_CHARS or not name.isprintable() \
            or name.strip() != name:
        raise AccessRecordError("a name is 1 to %d printable characters, without spaces at its ends" % NAME_CHARS)
    return name


def moment_text(seconds):
    """Seconds since 1970 as "YYYY-MM-DDTHH:MM:SSZ", or None."""
    if seconds is None:
        return None
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


class AccessRecords:
    """The key, user and secret methods of RunIndex."""

    def create_key(self, name, role):
        """A new key for `name` with `role`: its text, which the index does not keep."""
        checked_name(name)
        checked_role(role)
        key = KEY_PREFIX + secrets.token_urlsafe(32)
        keys = schema.keys
        with self._transaction(writing=True) as connection:
            if connection.execute(select(keys.c.id).where(keys.c.name == name)).first() is not None:
                raise AccessRecordError("a key named %r exists already (a revoked key keeps its name)" % name)
            connection.execute(keys.insert().values(name=name, key_hash=key_hash(key), role=role,
                                                    created=time.time()))
        return key

    def keys(self):
        """[{"name", "role", "created", "revoked"}] by creation; times in UTC as
        "YYYY-MM-DDTHH:MM:SSZ", "revoked" None for a key in use."""
        keys = schema.keys
        with self._transaction() as connection:
            if not self._has_tables(connection):
                return []
            rows = connection.execute(select(keys.c.name, keys.c.role, keys.c.created, keys.c.revoked)
                                      .order_by(keys.c.created, keys.c.id)).all()
        return [{"name": name, "role": role, "created": moment_text(created), "revoked": moment_text(revoked)}
                for name, role, created, revoked in rows]

    def revoke_key(self, name):
        """Ends the key named `name`; False when there is no such key in use."""
        keys = schema.keys
        with self._transaction(writing=True) as connection:
            return connection.execute(keys.update().where((keys.c.name == name) & keys.c.revoked.is_(None))
                                      .values(revoked=time.time())).rowcount > 0

    def key_identity(self, key):
        """(name, role) of a key in use; None for any other text, unknown and revoked keys alike."""
        if not isinstance(key, str) or not key.startswith(KEY_PREFIX) or len(key) > _KEY_CHARS:
            return None
        keys = schema.keys
        with self._transaction() as connection:
            if not self._has_tables(connection):
                return None
            found = connection.execute(select(keys.c.name, keys.c.role).where(
                (keys.c.key_hash == key_hash(key)) & keys.c.revoked.is_(None))).first()
        return None if found is None else (found[0], found[1])

    def set_user(self, name, role):
        """Records the role of the user a sign-in proxy names `name`."""
        checked_name(name)
        checked_role(role)
        users = schema.users
        with self._transaction(writing=True) as connection:
            if connection.execute(users.update().where(users.c.name == name).values(role=role)).rowcount == 0:
                connection.execute(users.insert().values(name=name, role=role))

    def user_role(self, name):
        """The recorded role of a proxy's user, or None."""
        users = schema.users
        with self._transaction() as connection:
            if not self._has_tables(connection):
                return None
            return connection.execute(select(users.c.role).where(users.c.name == name)).scalar()

    def users(self):
        """[{"name", "role"}] by name."""
        users = schema.users
        with self._transaction() as connection:
            if not self._has_tables(connection):
                return []
            return [{"name": name, "role": role} for name, role in
                    connection.execute(select(users.c.name, users.c.role).order_by(users.c.name)).all()]

    def service_secret(self):
        """32 random bytes made once for the index, which the service signs its
        sessions with: every service on one index accepts the others' sessions."""
        settings = schema.settings
        query = select(settings.c.value).where(settings.c.key == SECRET_SETTING)
        with self._transaction() as connection:
            found = connection.execute(query).scalar() if self._has_tables(connection) else None
        if found is None:
            with self._transaction(writing=True) as connection:
                found = connection.execute(query).scalar()
                if found is None:
                    found = secrets.token_hex(32)
                    connection.execute(settings.insert().values(key=SECRET_SETTING, value=found))
        return bytes.fromhex(found)
