// cancel_flag(): a flag that stops native searches and builds, for the
// commands and services written in Python (tavix.log.commands.history.run_search).
#include "cancel_flag.hpp"
#include "common.hpp"

namespace tavix::logs {

void define_cancel_flag_function(nb::module_ &m) {
    m.def("cancel_flag", [] {
        CancelFlag flag = std::make_shared<std::atomic<bool>>(false);
        nb::object set = nb::cpp_function([flag] { flag->store(true, std::memory_order_relaxed); });
        return nb::make_tuple(cancel_capsule(flag), set);
    }, "(capsule, set): a flag for the `cancel` of native searches (Archive.search and the run\n"
       "searches), unset, and the function that sets it, from any thread.");
}

}  // namespace tavix::logs
