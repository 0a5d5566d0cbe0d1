// Answers that are computed once per opening, in a worker thread: the first
// request computes while later ones wait for it in their own workers.
#include "coroutine.hpp"
#include "server.hpp"

namespace tavix::server {

namespace {

// self._computed: key -> [lock, value]; entries are made on the loop's
// thread, so two requests never make two entries for one key.
nb::list entry_of(nb::handle self, nb::handle key) {
    nb::object table = nb::getattr(self, "_computed", nb::none());
    if (table.is_none()) {
        table = nb::dict();
        self.attr("_computed") = table;
    }
    nb::object found = table.attr("get")(key);
    if (!found.is_none())
        return nb::borrow<nb::list>(found);
    nb::list entry;
    entry.append(state->new_lock());
    table[key] = entry;
    return entry;
}

// A future of the running loop that holds `value` already.
nb::object done_future(nb::handle value) {
    nb::object future = state->get_running_loop().attr("create_future")();
    future.attr("set_result")(value);
    return future;
}

}  // namespace

nb::object computed_once(nb::handle self, nb::handle key, std::function<nb::object()> compute,
                         std::function<nb::object(nb::handle)> finish) {
    nb::list entry = entry_of(self, key);
    if (nb::len(entry) > 1)
        return finish(done_future(entry[1]));
    return off_loop(
        [entry, compute = std::move(compute)]() mutable -> nb::object {
            nb::object lock = entry[0];
            lock.attr("acquire")();
            try {
                if (nb::len(entry) == 1) {
                    nb::object value = compute();
                    entry.append(value);
                }
            } catch (...) {
                lock.attr("release")();
                throw;
            }
            lock.attr("release")();
            return entry[1];
        },
        std::move(finish));
}

}  // namespace tavix::server
