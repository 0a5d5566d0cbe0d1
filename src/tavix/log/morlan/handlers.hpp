// The handler half of tavix.log.morlan: ScreenHandler, TaskLogHandler with
// its forked task logs, and the module's managed handlers.
#pragma once

#include <nanobind/nanobind.h>

namespace tavix::morlan {

// Defines ScreenHandler and TaskLogHandler on the module, in that order.
// Needs the formatter classes to be defined on the module already.
void define_handlers(nanobind::module_ &module);

// Creates managed_handlers and defines closeManagedHandlers, registered at exit.
void define_managed_handlers(nanobind::module_ &module);

}  // namespace tavix::morlan
