// Native coroutine functions for request handlers.
//
// aiohttp accepts a route handler only if asyncio/inspect recognise it as a
// coroutine function; a plain builtin would be wrapped in a deprecated shim.
// `coroutine_method` makes a method object that
//   - binds to instances like a Python function (so `app.results` is a bound
//     method whose __func__ carries the coroutine marker),
//   - is marked as a coroutine function (inspect.markcoroutinefunction on
//     3.12+, the asyncio `_is_coroutine` marker before),
//   - when called runs the C++ body at once and returns an awaitable that
//     finishes on its first step with the body's result (or raises the body's
//     exception when awaited, as a coroutine would).
// The handlers never wait for anything, so running the body eagerly is exactly
// what a coroutine without an await would do.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>

namespace tavix::server {

namespace nb = nanobind;

using HandlerBody = nb::object (*)(nb::handle self, nb::handle request);

// Creates the two native types; call once from the module initialiser.
void init_coroutine_types(nb::module_ &m);

// A method object `name` whose calls (self, request) run `body`. A body that
// returns an asyncio future (from `off_loop`) is answered when it completes.
nb::object coroutine_method(const char *name, const char *qualname, HandlerBody body,
                            const char *doc);

// For handlers whose work may take long (scans, searches): runs `work` in the
// event loop's default executor, so the loop keeps answering other requests,
// then `finish(future)` back on the loop, where `future.result()` gives the
// work's result or raises its exception. `finish`'s answer, or its
// exception, completes the returned future. `work` runs with the GIL held;
// native loops inside it release the GIL around their block reads.
nb::object off_loop(std::function<nb::object()> work, std::function<nb::object(nb::handle)> finish);

// What follows a future on the loop: a new future settled by `step(source)`
// once `source` is done. The step gives the answer, or another future whose
// outcome becomes the answer. A request that goes away cancels only its own
// future, never `source`, so many requests can wait for one piece of work.
nb::object then(nb::handle source, std::function<nb::object(nb::handle)> step);

// An awaitable that finishes on its first step with `result`, for answers
// made without running a handler.
nb::object ready_result(nb::object result);

}  // namespace tavix::server
