// Large answers wait for a slot.
//
// A client that does not read its answer leaves the whole body in the
// server's memory until it goes. Answers of up to megabytes that are built
// at once from a file (file lines, file and log pages) are therefore built
// and sent a few at a time: each holds a slot from before its handler runs
// until its body has been handed to the system, or its client has gone.
// Others wait, holding nothing; other routes never wait (device commands
// wait for their scan, which must not hold a slot meanwhile).
#include <class_builder.hpp>

#include <malloc.h>

#include "coroutine.hpp"
#include "server.hpp"

namespace tavix::server {

namespace {

constexpr int kSlots = 4;

constexpr const char *kLargeRoutes[] = {"filelines", "filepage", "logfile_sec", "baseline_section_log"};

nb::handle slots_class;  // kept for the process lifetime

bool large_route(nb::handle request) {
    nb::object name = request.attr(state->match_info).attr("route").attr("name");
    if (name.is_none())
        return false;
    for (const char *large : kLargeRoutes)
        if (name.equal(nb::str(large)))
            return true;
    return false;
}

// Outcomes of the steps below matter only while the request is there: the
// error of one whose client left (the connection lost while the body was
// written) is taken, so that nothing reports it as never retrieved.
nb::object quiet(nb::object future) {
    future.attr("add_done_callback")(nb::cpp_function([](nb::handle done) {
        if (!nb::cast<bool>(done.attr("cancelled")()))
            done.attr("exception")();
    }));
    return future;
}

nb::object ensure_future(nb::handle awaitable) {
    static nb::handle ensure = nb::object(nb::module_::import_("asyncio").attr("ensure_future")).release();
    return quiet(ensure(awaitable));
}

// A future that is done once the request holds a slot.
nb::object acquire(nb::handle self) {
    nb::object granted = state->get_running_loop().attr("create_future")();
    int free = nb::cast<int>(self.attr("_free"));
    if (free > 0) {
        self.attr("_free") = free - 1;
        granted.attr("set_result")(nb::none());
    } else {
        self.attr("_waiting").attr("append")(granted);
    }
    return granted;
}

// Passes the slot to the first request still waiting, or frees it. When
// every slot is free the heap gives back what the bodies took.
void release(nb::handle self) {
    nb::object waiting = self.attr("_waiting");
    while (nb::len(waiting)) {
        nb::object next = waiting.attr("popleft")();
        if (!nb::cast<bool>(next.attr("done")())) {
            next.attr("set_result")(nb::none());
            return;
        }
    }
    int free = nb::cast<int>(self.attr("_free")) + 1;
    self.attr("_free") = free;
    if (free == kSlots)
        malloc_trim(0);
}

// The answer of `handler`, prepared and written out to the end.
nb::object sent(nb::handle request, nb::handle handler) {
    nb::object request_ = nb::borrow(request);
    nb::object answered = ensure_future(handler(request));
    return quiet(then(answered, [request_](nb::handle done) {
        nb::object response = done.attr("result")();
        nb::object prepared = ensure_future(response.attr("prepare")(request_));
        return quiet(then(prepared, [response](nb::handle ready) {
            ready.attr("result")();
            nb::object written = ensure_future(response.attr("write_eof")());
            return quiet(then(written, [response](nb::handle finished) {
                finished.attr("result")();
                return response;
            }));
        }));
    }));
}

void slots_init(nb::handle self) {
    self.attr("_free") = kSlots;
    self.attr("_waiting") = nb::module_::import_("collections").attr("deque")();
}

nb::object slots_call(nb::handle self, nb::handle request, nb::handle handler) {
    if (!large_route(request))
        return handler(request);
    nb::object slots = nb::borrow(self), request_ = nb::borrow(request), handler_ = nb::borrow(handler);
    nb::object granted = acquire(self);
    nb::object answer = then(granted, [request_, handler_](nb::handle) { return sent(request_, handler_); });
    answer.attr("add_done_callback")(nb::cpp_function([slots, granted](nb::handle) {
        if (!nb::cast<bool>(granted.attr("done")()))
            granted.attr("cancel")();  // its client left while it waited
        else if (!nb::cast<bool>(granted.attr("cancelled")()))
            release(slots);
    }));
    return answer;
}

}  // namespace

void define_answer_slots(nb::module_ &m) {
    nb::object object = nb::module_::import_("builtins").attr("object");
    slots_class = ClassBuilder(m, "AnswerSlots", {object})
                      .doc("aiohttp middleware that builds and sends at most four answers of the "
                           "routes that read megabytes of a file at once (file lines, file and log "
                           "pages); the others wait for a slot.")
                      .attr("__middleware_version__", nb::int_(1))
                      .method("__init__", &slots_init)
                      .method("__call__", &slots_call, nb::arg("request"), nb::arg("handler"))
                      .build()
                      .release();
}

void install_answer_slots(nb::handle self) {
    // Outside the caller's middlewares: the answer is prepared and sent only
    // once they have seen it (and set their headers).
    self.attr("middlewares").attr("insert")(0, slots_class());
}

}  // namespace tavix::server
