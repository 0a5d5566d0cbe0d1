"""Texts as the index's databases can hold them, read back exactly.

PostgreSQL's text holds no NUL: there ESCAPE is written twice and NUL as
ESCAPE "0" (neither can come from a results file; a log line can hold both).
SQLite holds every text as it is. On both, a unique key longer than a database's index entry allows is kept as a hash,
its full text in a column of its own; short texts are their own key.
"""
import hashlib

from sqlalchemy import Text, func
from sqlalchemy.types import TypeDecorator

ESCAPE = "\x10"
# Characters of the longest text that is its own key: 4 bytes of UTF-8 each,
# twice that escaped, well within PostgreSQL's 2,704 bytes of an index entry.
KEY_CHARS = 256
# Starts every hashed key; a text that starts so is hashed whatever its length.
HASHED = ESCAPE + "sha256:"


def needs_escaping(text):
    return ESCAPE in text or "\0" in text


def escaped(text):
    if ESCAPE in text:
        text = text.replace(ESCAPE, ESCAPE + ESCAPE)
    return text.replace("\0", ESCAPE + "0") if "\0" in text else text


def unescaped(text):
    if ESCAPE not in text:
        return text
    # Every ESCAPE starts a pair: the doubled ones are found first, from the left.
    return ESCAPE.join(part.replace(ESCAPE + "0", "\0") for part in text.split(ESCAPE + ESCAPE))


class EscapedText(TypeDecorator):
    """Text, escaped where the database is PostgreSQL."""

    impl = Text
    cache_ok = True

    def process_bind_param(self, value, dialect):
        return escaped(value) if value is not None and dialect.name == "postgresql" else value

    def process_result_value(self, value, dialect):
        return unescaped(value) if value is not None and dialect.name == "postgresql" else value


def key_of(text):
    """The unique key a text is found by."""
    if len(text) <= KEY_CHARS and not text.startswith(HASHED):
        return text
    return HASHED + hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()


def full_text(text):
    """What the column of full texts holds for a text: None where it is its own key."""
    return None if key_of(text) == text else text


def recorded(full, key):
    """A keyed text's column expression as the text was recorded: its full text, else its key."""
    return func.coalesce(full, key, type_=EscapedText)
