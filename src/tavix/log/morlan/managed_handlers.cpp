// managed_handlers: the module's own task log and console handlers, created
// at import and closed at interpreter exit.
#include "handlers.hpp"

namespace tavix::morlan {

namespace handlers_detail {

static void close_managed_handlers() {
    nb::object handlers = shared().module.attr("managed_handlers");
    for (nb::handle handler : handlers.attr("values")()) {
        nb::object stream = handler.attr("stream");
        nb::handle sys = shared().sys;
        // The console streams are never closed.
        if (stream.equal(sys.attr("stdout")) || stream.equal(sys.attr("stderr")))
            continue;
        try {
            handler.attr("close")();
        } catch (nb::python_error &error) {
            if (!error.matches(PyExc_Exception))
                throw;
        }
    }
}

}  // namespace handlers_detail

void define_managed_handlers(nanobind::module_ &module) {
    using namespace handlers_detail;
    nb::object attr_dict = nb::module_::import_("tavix.datastructures").attr("AttrDict");
    // The task log first: its formatter installs the record factory.
    nb::object tasklog = module.attr("TaskLogHandler")(nb::none());
    nb::object screen = module.attr("ScreenHandler")();
    module.attr("managed_handlers") =
        attr_dict(nb::arg("tasklog") = tasklog, nb::arg("screen") = screen);
    module.def("closeManagedHandlers", &close_managed_handlers,
               "Closes the managed handlers at exit, except those writing to the console.");
    nb::module_::import_("atexit").attr("register")(module.attr("closeManagedHandlers"));
}

}  // namespace tavix::morlan
