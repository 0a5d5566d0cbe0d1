"""The store `--store` names: a directory, or s3://BUCKET/PREFIX.

An object store's endpoint and credentials come from the variables every
S3 client reads (AWS_ENDPOINT_URL, AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY,
AWS_REGION), else from the configuration file's [logs] keys below, else
from boto3's own sources (~/.aws/config and credentials, a machine's role).
"""
import os

from tavix import configuration

from .errors import ServiceError

__all__ = ["store_from_setting"]

# (argument of s3_client, environment variables first to last, [logs] key of the configuration file)
CONNECTION_KEYS = (
    ("endpoint_url", ("AWS_ENDPOINT_URL",), "service.s3-endpoint"),
    ("region", ("AWS_REGION", "AWS_DEFAULT_REGION"), "service.s3-region"),
    ("access_key_id", ("AWS_ACCESS_KEY_ID",), "service.s3-access-key-id"),
    ("secret_access_key", ("AWS_SECRET_ACCESS_KEY",), "service.s3-secret-access-key"),
)


def connection_settings():
    """The arguments of s3_client: each from its variables, else the file, else None (boto3's own)."""
    found = {}
    for argument, variables, key in CONNECTION_KEYS:
        value = next((os.environ[name] for name in variables if os.environ.get(name)), None)
        found[argument] = value or configuration.get("logs." + key) or None
    if os.environ.get("AWS_ACCESS_KEY_ID") or not (found["access_key_id"] and found["secret_access_key"]):
        # boto3 reads the variables itself, a session token with them; half a
        # pair from the file is no pair: boto3's other sources then apply.
        found["access_key_id"] = found["secret_access_key"] = None
    return found


def store_from_setting(text):
    """The store `text` names, checked for use: a DirectoryStore or an
    ObjectStore. One that cannot be used raises a ServiceError of one line,
    naming the store but never a secret."""
    from .archive_store import DirectoryStore
    from .object_store import ObjectStore, is_object_store, parse_object_store, s3_client

    if not is_object_store(text):
        store = DirectoryStore(text)
    else:
        try:
            bucket, prefix = parse_object_store(text)
            client = s3_client(**connection_settings())
        except ValueError as error:  # boto3's for an endpoint that is no URL
            raise ServiceError("%s: %s" % (text, error)) from None
        store = ObjectStore(client, bucket, prefix)
    try:
        store.check()
        if isinstance(store, ObjectStore):
            store.remove_stale_uploads()
    except ServiceError as error:
        raise ServiceError("%s: %s" % (text, error)) from None
    return store
