"""The tool's `logs` commands run in the test's own process."""
from tavix.cli.main import main


def logs_tool(monkeypatch, capsys, index, user="ada"):
    """run(*words) -> (status, stdout, stderr) of `tavix logs WORDS…` on the
    run index `index`, as the operating system's user `user`."""
    monkeypatch.setenv("TAVIX_INDEX", str(index))
    monkeypatch.setattr("getpass.getuser", lambda: user)

    def run(*words):
        status = main(["logs", *words])
        out, err = capsys.readouterr()
        return status, out, err

    return run
