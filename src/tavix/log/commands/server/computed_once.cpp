// Answers that are computed once per opening, in a worker thread: the first
// request computes while later ones wait for it on the loop.
#include "coroutine.hpp"
#include "server.hpp"

namespace tavix::server {

namespace {

nb::dict table_of(nb::handle self) {
    nb::object table = optional_attr(self, "_computed");
    if (!table.is_valid()) {
        table = nb::dict();
        self.attr("_computed") = table;
    }
    return nb::borrow<nb::dict>(table);
}

// A future of the running loop that holds `value` already.
nb::object done_future(nb::handle value) {
    nb::object future = state->get_running_loop().attr("create_future")();
    future.attr("set_result")(value);
    return future;
}

}  // namespace

// self._computed: key -> [value] once computed, or the future of the
// computation still running. The table is only touched on the loop's thread,
// so requests that come while it runs wait on that future there, holding no
// worker thread.
nb::object computed_once(nb::handle self, nb::handle key, std::function<nb::object()> compute,
                         std::function<nb::object(nb::handle)> finish) {
    nb::dict table = table_of(self);
    nb::object found = table.attr("get")(key);
    if (PyList_Check(found.ptr()))
        return finish(done_future(nb::borrow<nb::list>(found)[0]));
    if (!found.is_none())
        return then(found, std::move(finish));
    nb::object running = off_loop(std::move(compute), [](nb::handle done) { return done.attr("result")(); });
    table[key] = running;
    nb::object owner = nb::borrow(key);
    running.attr("add_done_callback")(nb::cpp_function([table, owner](nb::handle done) {
        if (!table.attr("get")(owner).is(done))
            return;
        // A failure is not kept: the next request computes again.
        if (nb::cast<bool>(done.attr("cancelled")()) || !done.attr("exception")().is_none()) {
            if (PyDict_DelItem(table.ptr(), owner.ptr()) < 0)
                throw nb::python_error();
            return;
        }
        nb::list value;
        value.append(done.attr("result")());
        table[owner] = value;
    }));
    return then(running, std::move(finish));
}

}  // namespace tavix::server
