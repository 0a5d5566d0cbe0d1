#include <nanobind/nanobind.h>

NB_MODULE(morlan, m) {}
