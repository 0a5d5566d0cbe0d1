"""An application served in a thread, for tests and benchmarks that drive it
from synchronous code (Playwright's synchronous API, urllib)."""
import asyncio
import socket
import threading

from aiohttp import web


class ServerThread:
    """An application served on its own event loop in a thread, on a loopback port.

    The loop is set up inside the thread: Playwright's synchronous API keeps a
    loop of its own running on the main thread."""

    def __init__(self, app):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.url = "http://127.0.0.1:%d" % self.sock.getsockname()[1]
        self.loop = asyncio.new_event_loop()
        self.runner = web.AppRunner(app)
        started = threading.Event()

        def run():
            asyncio.set_event_loop(self.loop)
            self.loop.run_until_complete(self.runner.setup())
            self.loop.run_until_complete(web.SockSite(self.runner, self.sock).start())
            started.set()
            self.loop.run_forever()
            self.loop.run_until_complete(self.runner.cleanup())
            # Its worker threads end with it: a test after this one sees
            # only the threads it starts.
            self.loop.run_until_complete(self.loop.shutdown_default_executor())
            self.loop.close()

        self.thread = threading.Thread(target=run, daemon=True)
        self.thread.start()
        started.wait(10)

    def stop(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(10)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.stop()
