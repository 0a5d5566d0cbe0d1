#include <nanobind/nanobind.h>

#include "archive.hpp"
#include "run_search/bindings.hpp"

namespace tavix::archive {

Refs &refs() {
    static Refs *r = new Refs();  // never destroyed: no interpreter calls at static teardown
    return *r;
}

}  // namespace tavix::archive

NB_MODULE(archive, m) {
    namespace nb = nanobind;
    using nb::module_;
    tavix::archive::Refs &r = tavix::archive::refs();
    r.module = nb::borrow(m);
    r.temporary_directory = module_::import_("tempfile").attr("TemporaryDirectory");
    nb::object pathlib = module_::import_("pathlib");
    r.path_cls = pathlib.attr("Path");
    r.pure_path = pathlib.attr("PurePath");
    r.zip_file = module_::import_("zipfile").attr("ZipFile");
    r.weak_proxy = module_::import_("weakref").attr("proxy");
    nb::object os = module_::import_("os");
    r.path_join = os.attr("path").attr("join");
    r.normpath = os.attr("path").attr("normpath");
    r.islink = os.attr("path").attr("islink");
    r.listdir = os.attr("listdir");
    r.makedirs = os.attr("makedirs");
    r.path_dirname = os.attr("path").attr("dirname");
    r.io_open = module_::import_("io").attr("open");
    r.stat = os.attr("stat");
    r.s_isdir = module_::import_("stat").attr("S_ISDIR");
    r.guess_type = module_::import_("mimetypes").attr("guess_type");
    nb::object builtins = module_::import_("builtins");
    r.sorted = builtins.attr("sorted");
    r.str_lower = builtins.attr("str").attr("lower");

    m.attr("TEMP_DIR_PREFIX") = "tavix.logviewer.";
    nb::list ignore;
    ignore.append("*/__pycache__");
    ignore.append("*.pyc");
    ignore.append("*.pyo");
    m.attr("IGNORE_FILES") = ignore;

    tavix::archive::define_listing(m);
    tavix::archive::define_archive(m);
    tavix::run_search::register_error_translators();
    tavix::run_search::define_inflate_testing_hooks(m);
    tavix::run_search::define_run_search(m);
}
