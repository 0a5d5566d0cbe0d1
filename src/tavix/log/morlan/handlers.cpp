#include "handlers.hpp"

namespace tavix::morlan {

void define_handlers(nanobind::module_ &) {}

void define_managed_handlers(nanobind::module_ &) {}

}  // namespace tavix::morlan
