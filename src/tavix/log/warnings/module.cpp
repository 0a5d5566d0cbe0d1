#include <nanobind/nanobind.h>

NB_MODULE(warnings, m) {}
