// Shortcuts for the logging hot paths shared by tavix.log.colour and
// tavix.log.morlan (header only: each module gets its own copy).
//
// A shortcut replaces a Python-level call chain of the interpreter's logging
// library by the C operation that chain ends in. It is taken only while the
// method involved is the stock one (neither overridden by a subclass nor
// shadowed on the instance), so the result is the same as the slow path.
#pragma once

#include "logging_lookups.hpp"
#include "percent_template.hpp"
