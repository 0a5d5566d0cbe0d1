import logging
import os
import re
import socket
import sys
import zipfile

import pytest

from tavix.log.commands import logs


@pytest.fixture
def places(tmp_path, monkeypatch):
    """Shared and user archive directories of a fake environment and user."""
    monkeypatch.setattr(sys, "prefix", str(tmp_path / "env"))
    monkeypatch.setenv("LOGNAME", "jdoe")
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    monkeypatch.setenv("TAVIX_CONFIG", str(tmp_path / "tavix.cfg"))
    monkeypatch.chdir(tmp_path)
    return tmp_path / "env/users/jdoe/archive", tmp_path / "home/.tavix/archive"


def make_zip(path, mtime):
    path.parent.mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr("ResultsDetails.xml", "<x/>")
    os.utime(path, (mtime, mtime))
    return path


def messages(caplog, level=logging.INFO):
    return [r.getMessage() for r in caplog.records if r.name == logs.logger.name and r.levelno == level]


def test_find_all_archives(places):
    shared, user = places
    with pytest.raises(Exception) as raised:
        logs.ListSubcommand.find_all_archives()
    assert str(raised.value).split("\n") == [
        "No archive file was found under the following directories:", str(shared), str(user)]

    only_user = make_zip(user / "a/b/deep.zip", 1000)
    assert logs.ListSubcommand.find_all_archives() == [only_user]  # no shared directory: fine

    tie_user = make_zip(user / "tie.zip", 2000)
    tie_shared = make_zip(shared / "tie.zip", 2000)
    newest = make_zip(shared / "x/new.zip", 3000)
    make_zip(user / "upper.ZIP", 4000)
    (user / "notes.txt").write_text("not an archive")
    assert logs.ListSubcommand.find_all_archives() == [newest, tie_shared, tie_user, only_user]


def test_list_shows_the_ten_newest_then_hints(places, caplog):
    caplog.set_level(logging.INFO)
    _, user = places
    paths = [make_zip(user / ("a%02d.zip" % i), 1000 + i) for i in range(12)]
    logs.ListSubcommand().run(None)  # reads no argument
    lines = messages(caplog)
    assert lines[0].split() == ["Index", "Date", "Archive"]
    rows = lines[2:-2]
    assert [row[:4] for row in rows] == ["  %d." % i for i in range(10)]
    assert [row.split()[-1] for row in rows] == [str(p) for p in paths[::-1][:10]]
    assert lines[-2:] == [
        "Use 'tavix logs view -<index>' to open file relative to their index.",
        "Eg, to open the log in table row index 8: 'tavix logs view -8'"]
    assert len(logs.ListSubcommand.find_all_archives()) == 12


class FakeArchive:
    opened = []

    def __init__(self, path):
        self.file, self.left = path, None
        FakeArchive.opened.append(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.left = exc_info[0]


class FakeServer:
    def __init__(self, archive, **options):
        self.archive = archive
        FakeServer.options = options

    def serve(self, sock, print):
        FakeServer.served = (self.archive, sock.getsockname(), print)
        if FakeServer.interrupt:
            raise KeyboardInterrupt


@pytest.fixture
def view(places, monkeypatch):
    monkeypatch.setattr(logs, "Archive", FakeArchive)
    monkeypatch.setattr(logs, "LogViewerServer", FakeServer)
    FakeArchive.opened, FakeServer.served, FakeServer.interrupt = [], None, False
    command = logs.ViewSubcommand()
    command.browsed = []
    monkeypatch.setattr(command, "_open_browser", lambda url: command.browsed.append(url))

    def run(*argv):
        command.run(command.parser.parse_args(list(argv)))
        return FakeArchive.opened[-1]
    command.run_with = run
    return command


def test_view_archive_choice(view, places):
    _, user = places
    old, new = make_zip(user / "old.zip", 1000), make_zip(user / "new.zip", 2000)
    make_zip(places[0].parent.parent.parent.parent / "-1", 3000)  # a file named like an index
    assert view.run_with("--no-browser").file == new
    assert view.run_with("", "--no-browser").file == new
    assert view.run_with("-0", "--no-browser").file == new
    assert view.run_with("-1", "--no-browser").file == old
    assert view.run_with("-11", "--no-browser").file == old  # last digit only
    assert view.run_with("home/.tavix/../.tavix/archive/old.zip", "--no-browser").file.is_absolute()
    count = len(FakeArchive.opened)
    with pytest.raises(IndexError):
        view.run_with("-7", "--no-browser")
    for path in ["-", "-x", "missing.zip"]:
        with pytest.raises(FileNotFoundError) as raised:
            view.run_with("--no-browser", "--", path)
        assert str(raised.value) == str(places[0].parents[3] / path)
    assert len(FakeArchive.opened) == count  # nothing was opened


def test_view_with_a_baseline_serves_both(view, places):
    _, user = places
    old, new = make_zip(user / "old.zip", 1000), make_zip(user / "new.zip", 2000)
    view.run_with("-0", "--baseline", "-1", "--no-browser", "--no-token")
    served, baseline = FakeArchive.opened
    assert (served.file, baseline.file) == (new, old)
    assert FakeServer.served[0] is served and FakeServer.options == {"baseline": baseline}
    with pytest.raises(FileNotFoundError):
        view.run_with("-0", "--baseline", "missing.zip", "--no-browser")
    assert len(FakeArchive.opened) == 2  # nothing opened for a missing baseline


def test_view_serves_announces_and_cleans_up(view, places, caplog):
    caplog.set_level(logging.DEBUG)
    archive = make_zip(places[1] / "a.zip", 1000)
    FakeServer.interrupt = True  # Ctrl-C while serving
    opened = view.run_with(str(archive), "--port", "0")
    served_archive, (host, port), printing = FakeServer.served
    assert served_archive is opened and opened.left is None and printing is False
    assert port != 0 and host == "127.0.0.1"
    token = FakeServer.options["access_token"]
    assert FakeServer.options == {"access_token": token, "access_hosts": ("localhost", "localhost")}
    url = "http://localhost:%d/result?token=%s" % (port, token)
    assert view.browsed == [url]
    assert messages(caplog) == ["Logfile: %s" % archive, "\nView at: \n    %s" % url,
                                "\nPress Ctrl-C to exit", "\n%s\n" % ("-" * 80), "Bye..."]
    assert logging.getLogger("aiohttp").level == logging.getLogger().level + 10

    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        with pytest.raises(OSError):
            view.run_with(str(archive), "--port", str(busy.getsockname()[1]), "--host", "127.0.0.1")
        assert FakeArchive.opened[-1].left is not None  # left with the error
        free = busy.getsockname()[1]
    FakeServer.interrupt = False
    view.browsed.clear()
    view.run_with(str(archive), "--port", str(free), "--host", "127.0.0.1", "--no-browser")
    token = FakeServer.options["access_token"]
    assert "\nView at: \n    http://127.0.0.1:%d/result?token=%s" % (free, token) in messages(caplog)
    assert view.browsed == []


def test_view_makes_a_fresh_token_per_run_unless_told_not_to(view, places, caplog):
    caplog.set_level(logging.INFO)
    archive = make_zip(places[1] / "a.zip", 1000)
    tokens = set()
    for _ in range(3):
        view.run_with(str(archive), "--no-browser")
        tokens.add(FakeServer.options["access_token"])
    assert len(tokens) == 3
    assert all(re.fullmatch(r"[A-Za-z0-9_-]{43}", token) for token in tokens)

    view.run_with(str(archive), "--no-token")
    assert FakeServer.options == {}  # the server as the command always built it
    port = FakeServer.served[1][1]
    assert view.browsed[-1] == "http://localhost:%d/result" % port
    assert "\nView at: \n    %s" % view.browsed[-1] in messages(caplog)
    assert "--no-token" in view.parser.format_help()


def test_view_defaults_come_from_configuration(places):
    (places[0].parents[3] / "tavix.cfg").write_text("[logs]\nserver.host = 0.0.0.0\nserver.port = 8123\n")
    args = logs.ViewSubcommand().parser.parse_args(["-3"])
    assert (args.archive, args.host, args.port, args.open_browser) == ("-3", "0.0.0.0", 8123, True)
    assert "Default to: localhost" in logs.ViewSubcommand().parser.format_help()


def test_guess_hostname(monkeypatch):
    command = logs.ViewSubcommand()
    assert command._guess_hostname("localhost") == "localhost"
    assert command._guess_hostname("127.0.0.1") == "127.0.0.1"
    monkeypatch.setattr(socket, "getfqdn", lambda host: "box.example.org")
    monkeypatch.setattr(socket, "gethostbyname", lambda name: "10.0.0.1")
    assert command._guess_hostname("0.0.0.0") == "box.example.org"

    def unresolved(name):
        raise socket.gaierror("no such host")
    monkeypatch.setattr(socket, "gethostbyname", unresolved)
    assert command._guess_hostname("0.0.0.0") == "0.0.0.0"


class Launcher:
    """Records browser commands instead of starting them."""

    def __init__(self, monkeypatch, system="Linux", found=(), display=":0", fail=None):
        import platform
        import shutil
        import subprocess
        self.commands, self.fail = [], fail
        monkeypatch.setattr(platform, "system", lambda: system)
        monkeypatch.setattr(shutil, "which", lambda name: "/usr/bin/" + name if name in found else None)
        monkeypatch.setattr(subprocess, "Popen", self.popen)
        if display is None:
            monkeypatch.delenv("DISPLAY", raising=False)
        else:
            monkeypatch.setenv("DISPLAY", display)

    def popen(self, command):
        if self.fail:
            raise self.fail
        self.commands.append(command)
        return self

    def wait(self, timeout=None):
        return 0


@pytest.mark.parametrize("browser, config, system, found, display, expected", [
    # the user's command line wins everywhere, without the display check
    ("ff --private-window 'a b'", "cfgbrowser", "Darwin", ("xdg-open",), None,
     ["ff", "--private-window", "a b", "URL"]),
    (None, "cfgbrowser --x", "Linux", ("xdg-open",), None, ["cfgbrowser", "--x", "URL"]),
    # an empty BROWSER is taken as is: the configuration is not consulted
    ("", "cfgbrowser", "Darwin", (), None, ["open", "URL"]),
    (None, None, "Linux", ("cmd.exe", "xdg-open"), None, ["cmd.exe", "/C", "start", "URL"]),
    (None, None, "Linux", ("x-www-browser", "xdg-open"), ":0", ["xdg-open", "URL"]),
    (None, None, "Linux", ("gnome-open",), ":1", ["gnome-open", "URL"]),
])
def test_browser_opener_precedence(places, monkeypatch, caplog, browser, config, system, found,
                                   display, expected):
    if browser is None:
        monkeypatch.delenv("BROWSER", raising=False)
    else:
        monkeypatch.setenv("BROWSER", browser)
    if config:
        (places[0].parents[3] / "tavix.cfg").write_text("[logs]\nbrowser = %s\n" % config)
    caplog.set_level(logging.DEBUG)
    launcher = Launcher(monkeypatch, system, found, display)
    logs.ViewSubcommand()._open_browser(url="URL")
    assert launcher.commands == [expected]
    assert messages(caplog, logging.DEBUG) == ["Opening browser: " + " ".join(expected)]


@pytest.mark.parametrize("browser, found, display, fail, level, text", [
    (None, ("xdg-open",), "", None, logging.WARNING,
     "Cannot automatically start your browser: X-forwarding is not enabled for your session. \n"
     "Navigate to the above url manually in your preferred browser."),
    (None, (), ":0", None, logging.WARNING,
     "Could not find browser executable to open the above url automatically. Refer to "
     "documentation for proper settings and customizations.\nFor now, navigate to the url "
     "manually in your preferred browser."),
    ("   ", ("xdg-open",), ":0", None, logging.WARNING, "Could not find browser executable"),
    ("nobrowser -x", (), None, FileNotFoundError("no such file"), logging.ERROR,
     "Failed to open your browser using command: nobrowser -x URL,\nCaught Exception: no such file"),
    ("ff 'unclosed", (), None, None, logging.ERROR,
     "Failed to open your browser using command: ff 'unclosed,\nCaught Exception: No closing quotation"),
])
def test_browser_problems_are_logged_not_raised(places, monkeypatch, caplog, browser, found, display,
                                                fail, level, text):
    if browser is None:
        monkeypatch.delenv("BROWSER", raising=False)
    else:
        monkeypatch.setenv("BROWSER", browser)
    launcher = Launcher(monkeypatch, "Linux", found, display, fail)
    logs.ViewSubcommand()._open_browser(url="URL")
    assert launcher.commands == []
    (logged,) = messages(caplog, level)
    assert logged.startswith(text)

