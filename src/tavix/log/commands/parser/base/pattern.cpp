// Pattern: the banners that device connections write around the commands
// they run.
#include "base.hpp"
#include "class_builder.hpp"

namespace tavix::parser_base {

void define_pattern(nb::module_ &module) {
    nb::object compile = nb::module_::import_("re").attr("compile");
    Shared &state = shared();
    state.pattern_command = compile(
        "^\\+\\+\\+ (?P<device>\\S+)\\: (?P<execute_type>(executing|execute|configure)) "
        "command '(?P<title>[\\s\\S]+)' \\+\\+\\+$");
    state.pattern_config_ping =
        compile("^\\+\\+\\+ (?P<device>\\S+)\\: (?P<execute_type>(config|ping)) \\+\\+\\+$");
    state.pattern_ping_ip = compile("^Target IP address: (?P<ip>[\\d\\.]+)$");
    ClassBuilder(module, "Pattern", {nb::handle(reinterpret_cast<PyObject *>(&PyBaseObject_Type))})
        .doc("The banners that device connections write around the commands they run.")
        .attr("pattern_command", state.pattern_command)
        .attr("pattern_config_ping", state.pattern_config_ping)
        .attr("pattern_ping_ip", state.pattern_ping_ip)
        .build();
}

}  // namespace tavix::parser_base
