#include <nanobind/nanobind.h>

NB_MODULE(server, m) {}
