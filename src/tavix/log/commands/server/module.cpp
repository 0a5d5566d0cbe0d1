#include "coroutine.hpp"
#include "server.hpp"

NB_MODULE(server, m) {
    m.doc() = "Log viewer web server: serves one opened run archive to the browser front end.";
    tavix::server::init_state(m);
    tavix::server::init_coroutine_types(m);
    tavix::server::define_access_guard(m);
    tavix::server::define_answer_slots(m);
    tavix::server::define_server_class(m);
}
