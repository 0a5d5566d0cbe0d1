// Routing of the interpreter's warnings into the "warnings" logger.
#pragma once

#include <nanobind/nanobind.h>

namespace tavix::warnings_routing {

// Defines logger, __all__, enable_deprecation_warnings, enable_warnings_to_log
// and log_warning on the module.
void define_routing(nanobind::module_ &module);

}  // namespace tavix::warnings_routing
