// The class of a `tavix logs` subcommand, as the subcommands made natively
// define it.
#include "class_builder.hpp"
#include "common.hpp"

namespace tavix::logs {

nb::object define_subcommand(nb::module_ &m, const char *class_name, nb::handle base, const SubcommandText &text,
                             void (*init)(nb::handle, nb::args, nb::kwargs), void (*run)(nb::handle, nb::handle)) {
    return ClassBuilder(m, class_name, {base})
        .attr("name", nb::str(text.name))
        .attr("help", nb::str(text.help))
        .attr("usage", nb::str(text.usage))
        .attr("description", nb::str(text.description))
        .method("__init__", init)
        .method("run", run, nb::arg("args").none())
        .build();
}

}  // namespace tavix::logs
