// The flags of answers made in worker threads. Each request's is set when
// its client leaves; as the server shuts down all of them are set, with the
// flag of the work done once for every client, so an interrupt ends them too.
#include "coroutine.hpp"
#include "server.hpp"

namespace tavix::server {

namespace {

nb::dict flags_of(nb::handle self) { return nb::borrow<nb::dict>(self.attr("_answers")); }

}  // namespace

nb::dict new_answer_flags() {
    nb::dict flags;
    flags["running"] = nb::set();
    flags["stopping"] = cancel_capsule(std::make_shared<std::atomic<bool>>(false));
    return flags;
}

CancelFlag stopping_flag(nb::handle self) { return cancel_flag_of(flags_of(self)["stopping"]); }

void watch_answer(nb::handle self, nb::handle answer, const CancelFlag &flag) {
    nb::object capsule = cancel_capsule(flag), running = flags_of(self)["running"];
    running.attr("add")(capsule);
    answer.attr("add_done_callback")(nb::cpp_function([flag, running, capsule](nb::handle done) {
        running.attr("discard")(capsule);
        if (nb::cast<bool>(done.attr("cancelled")()))
            flag->store(true, std::memory_order_relaxed);
    }));
}

nb::object built_off_loop(nb::handle self, std::function<nb::object(const CancelFlag &)> work) {
    CancelFlag flag = std::make_shared<std::atomic<bool>>(false);
    nb::object answer = off_loop([work = std::move(work), flag] { return work(flag); },
                                 [](nb::handle done) { return done.attr("result")(); });
    watch_answer(self, answer, flag);
    return answer;
}

nb::object stop_answers(nb::handle self, nb::handle) {
    nb::dict flags = flags_of(self);
    cancel_flag_of(flags["stopping"])->store(true, std::memory_order_relaxed);
    nb::object running = flags["running"];
    for (nb::handle capsule : running)
        cancel_flag_of(capsule)->store(true, std::memory_order_relaxed);
    return nb::none();
}

}  // namespace tavix::server
