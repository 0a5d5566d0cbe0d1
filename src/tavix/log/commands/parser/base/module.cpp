#include <nanobind/nanobind.h>

NB_MODULE(base, m) {}
