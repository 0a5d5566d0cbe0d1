#include <nanobind/nanobind.h>

NB_MODULE(colour, m) {}
