#include "colour.hpp"

NB_MODULE(colour, m) {
    tavix::colour::define_palette(m);
    tavix::colour::define_formatters(m);
}
