"""Run indexes as older versions of tavix left them, made from a current one."""
from tavix.log.commands.history import schema


def _drop_run_columns(connection, columns):
    for column in columns:
        connection.exec_driver_sql("ALTER TABLE %s DROP COLUMN %s" % (schema.runs.name, column.name))


def _set_version(connection, version):
    connection.execute(schema.settings.update().where(schema.settings.c.key == "schema_version")
                       .values(value=str(version)))


def as_version_4(connection):
    """Takes out of an index, in the open transaction `connection`, what version 5 added."""
    for table in reversed(schema.TRIAGE_TABLES):
        table.drop(connection)
    _set_version(connection, 4)


def as_version_3(connection):
    """Takes out of an index, in the open transaction `connection`, what versions 4 and 5 added."""
    as_version_4(connection)
    _drop_run_columns(connection, schema.RETENTION_MARKS)
    _set_version(connection, 3)


def as_version_2(connection):
    """Takes out of an index, in the open transaction `connection`, what versions 3 to 5 added."""
    as_version_3(connection)
    _drop_run_columns(connection, schema.RUN_FACTS)
    for table in (schema.keys, schema.users):
        table.drop(connection)
    _set_version(connection, 2)
