#include <nanobind/nanobind.h>

NB_MODULE(archive, m) {}
