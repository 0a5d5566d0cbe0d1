"""Run indexes as older versions of tavix left them, made from a current one."""
from tavix.log.commands.history import schema


def as_version_2(connection):
    """Takes out of an index, in the open transaction `connection`, what version 3 added."""
    for column in schema.RUN_FACTS:
        connection.exec_driver_sql("ALTER TABLE %s DROP COLUMN %s" % (schema.runs.name, column.name))
    for table in (schema.keys, schema.users):
        table.drop(connection)
    connection.execute(schema.settings.update().where(schema.settings.c.key == "schema_version").values(value="2"))
