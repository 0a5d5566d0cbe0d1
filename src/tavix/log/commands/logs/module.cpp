#include <nanobind/nanobind.h>

NB_MODULE(logs, m) {}
