"""Former name of tavix.log, kept so that old imports keep working."""
