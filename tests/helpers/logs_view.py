"""`tavix logs` in a process of its own, and the viewer it announces."""

import json
import re
import subprocess
import sys
import time
import urllib.request

from helpers.routes import P


def tavix(env, *argv, **kwargs):
    return subprocess.Popen([sys.executable, "-m", "tavix.cli.main", "logs", *argv], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kwargs)


def wait_for_url(process, deadline=60):
    """The address announced, split into the server's base URL and the access token (or None)."""
    seen = []
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        line = process.stdout.readline()
        if not line:
            break
        seen.append(line)
        found = re.search(r"(http://\S+)/result(?:\?token=(\S+))?", line)
        if found:
            return found.group(1), found.group(2)
    process.kill()
    raise AssertionError("no URL announced: %r %r" % (seen, process.stderr.read()))


def get(base, route, token=None, **headers):
    if token:
        headers["Authorization"] = "Bearer " + token
    return urllib.request.urlopen(urllib.request.Request(base + route, headers=headers), timeout=30)


def get_json(base, route, token=None):
    with get(base, P + route, token) as answer:
        assert answer.headers["Access-Control-Allow-Origin"] == "*"
        return json.load(answer)
