"""Waiting in tests for something to happen, never for a length of time: a
thread's event, a condition polled to a deadline, requests the server took
up or saw leave."""

import asyncio
import time

from aiohttp import web

# Far beyond what any wait here takes: reaching it is the failure.
DEADLINE = 10


async def thread_event(event, deadline=DEADLINE):
    """Whether the threading.Event `event` is set within `deadline` seconds;
    the event loop goes on meanwhile."""
    return await asyncio.get_running_loop().run_in_executor(None, event.wait, deadline)


async def until(condition, deadline=DEADLINE):
    """Whether `condition()` holds within `deadline` seconds, asked again
    every few milliseconds while the event loop goes on."""
    end = time.monotonic() + deadline
    while not condition():
        if time.monotonic() > end:
            return condition()
        await asyncio.sleep(0.005)
    return True


class Requests:
    """Counts the requests a server's handlers took up (`started`) and those
    whose clients left before their answer (`left`). Give `middleware` to the
    server (`LogViewerServer(archive, middlewares=[requests.middleware])`),
    then `await requests.reach(started=12)`.

    A request counts as started just before its handler runs, and the test
    waiting for it resumes only once the handler has gone as far as it can
    without waiting. It counts as left once the handler has seen it cancelled."""

    def __init__(self):
        self.started = self.left = 0
        self._changed = asyncio.Event()

        @web.middleware
        async def middleware(request, handler):
            self.started += 1
            self._changed.set()
            try:
                return await handler(request)
            except asyncio.CancelledError:
                self.left += 1
                self._changed.set()
                raise

        self.middleware = middleware

    async def reach(self, started=0, left=0, deadline=DEADLINE):
        async def counted():
            while self.started < started or self.left < left:
                self._changed.clear()
                await self._changed.wait()

        await asyncio.wait_for(counted(), deadline)
