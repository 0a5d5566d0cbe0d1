"""The framework's command-line tool: `tavix <command> <subcommand> ...`."""
