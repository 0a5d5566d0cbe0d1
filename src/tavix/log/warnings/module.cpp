#include <nanobind/nanobind.h>

#include "routing.hpp"

NB_MODULE(warnings, m) { tavix::warnings_routing::define_routing(m); }
