#include <nanobind/nanobind.h>

#include "parser.hpp"

namespace tavix::xml_results {

Refs &refs() {
    static Refs *r = new Refs();  // never destroyed: no interpreter calls at static teardown
    return *r;
}

}  // namespace tavix::xml_results

NB_MODULE(xml, m) {
    namespace nb = nanobind;
    tavix::xml_results::Refs &r = tavix::xml_results::refs();
    nb::object os = nb::module_::import_("os");
    r.os_path_join = os.attr("path").attr("join");
    r.os_fstat = os.attr("fstat");
    r.io_open = nb::module_::import_("io").attr("open");
    r.et_xml_parser = nb::module_::import_("xml.etree.ElementTree").attr("XMLParser");
    r.result_id_search = nb::module_::import_("re").attr("compile")("\\d{6,}").attr("search");
    r.int_type = nb::module_::import_("builtins").attr("int");
    r.default_ns = nb::str(tavix::xml_results::NAMESPACE);
    m.attr("NAMESPACE") = r.default_ns;
    m.attr("RESULTS_FILE") = nb::str(tavix::xml_results::RESULTS_FILE);
    tavix::xml_results::define_parser(m);
}
