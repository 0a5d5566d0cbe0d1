#include <nanobind/nanobind.h>

#include "handlers.hpp"

NB_MODULE(morlan, m) {
    // Records and formatters are defined here first; then:
    tavix::morlan::define_handlers(m);
    tavix::morlan::define_managed_handlers(m);
}
