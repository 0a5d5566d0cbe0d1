import subprocess
import sys

import pytest

from tavix import configuration
from tavix.cli import main as cli_main
from tavix.cli.base import CommandWithSubcommands, Subcommand
from tavix.cli.utils import format_table


def test_format_table_aligns_columns():
    lines = format_table([["  0.", "Mon", "/a/long.zip"], [1, None]], ["Index", "Date", "Archive"])
    assert lines == [
        "Index  Date  Archive",
        "-----  ----  -----------",
        "  0.   Mon   /a/long.zip",
        "1      None",
    ]
    assert format_table([], ["A"]) == ["A", "-"]


def test_configuration_reads_the_file_at_every_lookup(tmp_path, monkeypatch):
    cfg = tmp_path / "tavix.cfg"
    monkeypatch.setenv("TAVIX_CONFIG", str(cfg))
    assert configuration.get("logs.server.port", 0) == 0  # no file yet
    cfg.write_text("[logs]\nserver.port = 8080\nserver.host = 0.0.0.0\nbrowser = ff --new\n")
    assert configuration.get("logs.server.port", 0) == 8080
    assert configuration.get("logs.server.host", "localhost") == "0.0.0.0"
    assert configuration.get("logs.browser") == "ff --new"
    assert configuration.get("logs.missing", "d") == "d" and configuration.get("nodot") is None
    cfg.write_text("[logs]\nserver.port = eighty\n")
    with pytest.raises(ValueError, match="logs.server.port"):
        configuration.get("logs.server.port", 0)


class Echo(Subcommand):
    name = "echo"
    help = "echo a value"
    usage = "{prog} value"

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.parser.add_argument("value")

    def run(self, args):
        if args.value == "fail":
            raise ValueError("cannot echo fail")
        if args.value == "empty":
            raise IndexError
        print("echo:", args.value)


class Group(CommandWithSubcommands):
    name = "group"
    help = "a group"
    SUBCOMMANDS = [Echo]


def test_subcommands_parse_alone_and_in_a_group(capsys):
    assert Echo().parser.parse_args(["-3"]).value == "-3"  # a negative number is a value
    group = Group()
    args = group.parser.parse_args(["echo", "hi"])
    group.run(args)
    assert capsys.readouterr().out == "echo: hi\n"
    with pytest.raises(SystemExit):
        group.parser.parse_args([])  # a subcommand is required
    assert "usage: group echo value" in group.subcommands["echo"].parser.format_usage()


def test_tool_reports_errors_in_one_line(monkeypatch, capsys):
    monkeypatch.setattr(cli_main, "COMMANDS", [("group", "test_cli:Group"), ("gone", "nowhere:X")])
    monkeypatch.syspath_prepend(__file__.rsplit("/", 1)[0])
    assert cli_main.main(["group", "echo", "ok"]) == 0
    assert cli_main.main(["group", "echo", "fail"]) == 1
    assert cli_main.main(["group", "echo", "empty"]) == 1
    out, err = capsys.readouterr()
    assert out == "echo: ok\n"
    assert err == "tavix: error: ValueError: cannot echo fail\ntavix: error: IndexError\n"
    assert cli_main.main(["--debug", "group", "echo", "fail"]) == 1
    assert "Traceback" in capsys.readouterr().err
    # a command that cannot be loaded fails alone, with its reason
    assert cli_main.main(["gone", "x"]) == 1
    assert capsys.readouterr().err == "tavix: error: ModuleNotFoundError: No module named 'nowhere'\n"


def test_console_entry_point_help():
    done = subprocess.run([sys.executable, "-m", "tavix.cli.main", "--help"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0
    assert "logs" in done.stdout and "demo" in done.stdout


def test_the_tool_starts_without_the_database_and_storage_layers():
    # Every `logs` subcommand's parser is built at start: none of them may
    # load what only running a command needs.
    done = subprocess.run([sys.executable, "-c",
                           "import sys\nfrom tavix.cli.main import main\n"
                           "try:\n    main(['logs', '--help'])\nexcept SystemExit:\n    pass\n"
                           "print(sorted({m.split('.')[0] for m in sys.modules} & {'sqlalchemy', 'boto3', 'botocore', 'psycopg'}))"],
                          capture_output=True, text=True, timeout=60)
    assert done.stdout.splitlines()[-1] == "[]", done.stderr
