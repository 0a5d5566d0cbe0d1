"""
Log viewer web server: serves one opened run archive to the browser front end.
"""

import logging
import types

import aiohttp.web_app


HERE: str

logger: logging.Logger = ...

class _CoroutineMethod:
    def __call__(self, /, *args, **kwargs):
        """Call self as a function."""

    def __get__(self, instance, owner=None, /):
        """Return an attribute of instance, which is of type owner."""

    __vectorcalloffset__: types.MemberDescriptorType = ...

class AccessGuard:
    """
    aiohttp middleware that lets in only requests carrying the access token and addressed to this machine.

    The entry page's ?token= is traded for a cookie; other routes take that cookie or an 'Authorization: Bearer' header. The entry page and the static files need no token. `hosts` adds Host names to the local ones.
    """

    __middleware_version__: int = 1

    def __init__(self, token: object | None, url_prefix: object, hosts: object = ()) -> None: ...

    def __call__(self, request: object, handler: object) -> object: ...

class AnswerSlots:
    """
    aiohttp middleware that builds and sends at most four answers of the routes that read megabytes of a file at once (file lines, file and log pages); the others wait for a slot.
    """

    __middleware_version__: int = 1

    def __init__(self) -> None: ...

    def __call__(self, request: object, handler: object) -> object: ...

class LogViewerServer(aiohttp.web_app.Application):
    """
    HTTP application through which a browser looks at one opened run archive.

    LogViewerServer(archive, fread_size=20480, url_prefix="/private/v1/standalone", *,
                    access_token=None, access_hosts=(), baseline=None, history=None,
                    scan_budget=None, **kwargs)

    scan_budget: bytes that the kept device-command scans of all sections, with the
    filter results kept with them, may take together (the process's one table,
    LogSection.child_execute.fget; 512 MiB unless set). Least recently used sections
    are dropped first and scanned again when asked for, with the same execution ids.

    history: the run's history in the run index (a ViewerHistory), served by the
    prefix/history routes; None answers them {"detail": "NO_INDEX"}. A history with an
    add_routes(router, url_prefix) method adds routes of its own there (the local viewer's
    triage), which the access token guards as the others.

    access_token: None serves every request. A text lets in only requests that carry it:
    the entry page /result?token=<token> sets a cookie (HttpOnly, SameSite=Strict, a day's
    Max-Age) holding a secret derived from the token and redirects to the same address
    without it; every other route but the static files (all routes under url_prefix,
    downloads, the HTML viewer) needs that cookie, on requests the browser marks
    Sec-Fetch-Site: same-origin or none, or an 'Authorization: Bearer <token>' header,
    else answers 403 {"detail": "ACCESS_DENIED"}. The entry page clears the cookies
    of other viewers (tavix_viewer_*) beyond the eight most recently issued.
    Requests whose Host is not this machine's (localhost, 127.0.0.1, [::1], the address
    connected to, or a name of access_hosts) are refused the same way, and HTML reports
    of the archive are sent sandboxed (Content-Security-Policy: sandbox allow-scripts
    allow-popups), so their scripts cannot read the viewer's routes.
    access_hosts: further Host names to accept, such as the one the URL shows.
    baseline: None, or another opened Archive to compare this run with (the compare and
    section diff routes).

    job_search_seconds (class attribute, 60.0): how long one request of prefix/search may
    search the task logs before it answers with "complete": false.

    kwargs go to web.Application; middlewares given there see every route's answer
    before it is prepared, so they can set its headers. Large JSON answers are written
    in worker threads with the bytes json.dumps gives, and stop when their client leaves
    or the server shuts down.
    """

    ATTRS: frozenset = ...

    job_search_seconds: float = 60.0

    def __init__(self, archive: object, fread_size: object = 20480, url_prefix: object = '/private/v1/standalone', *, access_token: object | None = None, access_hosts: object = (), baseline: object | None = None, history: object | None = None, scan_budget: object | None = None, **kwargs) -> None: ...

    index: _CoroutineMethod = ...

    metadata: _CoroutineMethod = ...

    results: _CoroutineMethod = ...

    tree: _CoroutineMethod = ...

    summary: _CoroutineMethod = ...

    tasks: _CoroutineMethod = ...

    sections: _CoroutineMethod = ...

    executions: _CoroutineMethod = ...

    archive_name: _CoroutineMethod = ...

    logfile_sec: _CoroutineMethod = ...

    logfile_exe: _CoroutineMethod = ...

    filelist: _CoroutineMethod = ...

    filelines: _CoroutineMethod = ...

    htmlviewer: _CoroutineMethod = ...

    download_archive: _CoroutineMethod = ...

    download_file: _CoroutineMethod = ...

    file_download: _CoroutineMethod = ...

    report: _CoroutineMethod = ...

    section_search: _CoroutineMethod = ...

    next_record: _CoroutineMethod = ...

    job_search: _CoroutineMethod = ...

    line_query: _CoroutineMethod = ...

    scan_status: _CoroutineMethod = ...

    filepage: _CoroutineMethod = ...

    categories: _CoroutineMethod = ...

    timeline: _CoroutineMethod = ...

    timeline_histogram: _CoroutineMethod = ...

    compare: _CoroutineMethod = ...

    section_diff: _CoroutineMethod = ...

    baseline_section_log: _CoroutineMethod = ...

    run_history: _CoroutineMethod = ...

    section_history: _CoroutineMethod = ...

    _warm_up: _CoroutineMethod = ...

    _stop_searches: _CoroutineMethod = ...

    _stop_scans: _CoroutineMethod = ...

    _stop_answers: _CoroutineMethod = ...

    def _download(self, file: object) -> object: ...

    def serve(self, *args, **kwargs) -> object: ...
