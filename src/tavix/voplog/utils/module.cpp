#include <nanobind/nanobind.h>

NB_MODULE(utils, m) {}
