#include <nanobind/nanobind.h>

NB_MODULE(xml, m) {}
