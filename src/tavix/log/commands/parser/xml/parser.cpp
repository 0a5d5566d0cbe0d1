// The LedraXMLResultParser class.
#include <class_builder.hpp>

#include <type_traits>
#include <utility>

#include "parser.hpp"

namespace tavix::xml_results {

namespace {

// Bytes of the results file fed to the XML parser at a time: a few
// milliseconds of parsing between two looks at pending signals.
constexpr Py_ssize_t kReadBlockSize = 256 << 10;

// Sections numbered between two looks at pending signals and the observer.
constexpr long long kSectionsPerReport = 256;

// The observer of the opening in progress (see Archive.progress): set while
// a parser is constructed, None otherwise.
nb::handle opening_progress;

class ProgressScope {
public:
    explicit ProgressScope(nb::object progress) : current_(std::move(progress)), saved_(opening_progress) {
        opening_progress = current_;
    }
    ~ProgressScope() { opening_progress = saved_; }

private:
    nb::object current_;
    nb::handle saved_;
};

// Pauses the cyclic garbage collector while the results are built: the parse
// makes millions of objects that all stay, so collections would only walk
// them again and again (they cost as much as the parse itself).
class CollectorPause {
public:
    CollectorPause()
        : gc_(nb::module_::import_("gc")), was_enabled_(nb::cast<bool>(gc_.attr("isenabled")())) {
        gc_.attr("disable")();
    }
    ~CollectorPause() {
        if (!was_enabled_)
            return;
        // Runs while an exception may be propagating: no C++ exception here.
        PyObject *done = PyObject_CallMethod(gc_.ptr(), "enable", nullptr);
        if (done)
            Py_DECREF(done);
        else
            PyErr_WriteUnraisable(gc_.ptr());
    }

private:
    nb::module_ gc_;
    bool was_enabled_;
};

void report(const char *stage, nb::handle done, nb::handle total) {
    if (opening_progress.is_valid() && !opening_progress.is_none())
        opening_progress(stage, done, total);
}

// The document of the results file, parsed as ElementTree.parse does it,
// but fed in blocks so that an interrupt is answered while it is read.
nb::object parse_document(nb::handle path) {
    Refs &r = refs();
    nb::object file = r.io_open(path, "rb");
    try {
        nb::object size = r.os_fstat(file.attr("fileno")()).attr("st_size");
        nb::object parser = r.et_xml_parser();
        nb::object feed = parser.attr("feed"), read = file.attr("read");
        long long done = 0;
        for (;;) {
            nb::object block = read(kReadBlockSize);
            Py_ssize_t length = PyBytes_Size(block.ptr());
            if (length < 0)
                throw nb::python_error();
            if (length == 0)
                break;
            feed(block);
            done += length;
            handle_pending_signals();
            report("reading", nb::int_(done), size);
        }
        nb::object root = parser.attr("close")();
        file.attr("close")();
        return root;
    } catch (...) {
        close_after_failure(file);
        throw;
    }
}

std::string namespace_of(nb::handle parser) {
    return nb::cast<std::string>(parser.attr("NS")["x"]);
}

void init(nb::handle self, nb::handle archive, nb::handle id_seed) {
    self.attr("id_seed") = id_seed;  // checked before the long parse
    self.attr("archive") = archive;
    self.attr("results") = nb::dict();
    self.attr("_sequence_number") = nb::int_(0);

    ProgressScope scope(nb::getattr(archive, "progress", nb::none()));
    CollectorPause pause;
    nb::object path = refs().os_path_join(as_text(archive.attr("dir")), RESULTS_FILE);
    nb::object root = parse_document(path);
    // Results written under another host of the same schema path are read in
    // their own namespace rather than yielding nothing.
    std::string found = results_namespace_of(root.attr("tag"));
    if (!found.empty() && found != namespace_of(self)) {
        nb::dict ns;
        ns["x"] = nb::str(found.c_str(), found.size());
        self.attr("NS") = ns;
    }

    self.attr("_parse_job_info")(root);
    self.attr("_parse_job")(root);
    report("parsing", self.attr("_sequence_number"), nb::none());
    self.attr("_parse_job_summary")(root);
    nb::object results = self.attr("results");
    self.attr("meta") = results.attr("get")("meta");
    self.attr("scripts") = results.attr("get")("scripts");
    self.attr("summary") = results.attr("get")("summary");
    self.attr("prepare_sections")();
}

nb::object get_text(nb::handle self, nb::handle element, nb::handle path, nb::handle fallback) {
    nb::object found = element.attr("find")(path, nb::arg("namespaces") = self.attr("NS"));
    return text_or(found.is_none() ? nb::object() : found, fallback);
}

nb::object remove_ns(nb::handle self, nb::handle text) {
    return Context(self).remove_ns(text);
}

// A method over `Fn(context, args...)`: the counter goes back to the parser
// also when Fn raises.
template <auto Fn, typename... Args>
nb::object run(nb::handle self, Args... args) {
    Context context(self);
    auto store = [&] { self.attr("_sequence_number") = nb::int_(context.sequence); };
    try {
        nb::object result;
        if constexpr (std::is_void_v<decltype(Fn(context, args...))>)
            Fn(context, args...);
        else
            result = Fn(context, args...);
        store();
        return result.is_valid() ? result : nb::none();
    } catch (...) {
        store();
        throw;
    }
}

template <auto Fn, typename... Args>
nb::list collected(Context &c, Args... args) {
    nb::list out;
    Fn(c, out, args...);
    return out;
}

// A method over `Fn(context, out, args...)` that returns the records Fn appended to `out`.
template <auto Fn, typename... Args>
nb::object collect(nb::handle self, Args... args) {
    return run<collected<Fn, Args...>, Args...>(self, args...);
}

nb::dict init_info(Context &c, nb::handle node, nb::handle section_type) {
    nb::dict info;
    add_init_info(c, info, node, section_type);
    return info;
}

template <void (*Fn)(Context &, nb::handle)>
void on_document(Context &c, nb::handle document) {
    Fn(c, document_root(document));
}

}  // namespace

Context::Context(nb::handle parser)
    : self(parser),
      names(namespace_of(parser)),
      sequence(nb::cast<long long>(parser.attr("_sequence_number"))) {}

nb::object Context::next_sequence() {
    if (++sequence % kSectionsPerReport == 0) {
        handle_pending_signals();
        report("parsing", nb::int_(sequence), nb::none());
    }
    return nb::int_(sequence);
}

nb::object Context::remove_ns(nb::handle tag) const {
    return tag.attr("replace")(names.prefix, "");
}

void define_parser(nb::module_ &m) {
    nb::object base = nb::module_::import_("tavix.log.commands.parser.base").attr("BaseResultsParser");
    nb::dict ns;
    ns["x"] = refs().default_ns;
    nb::object none = nb::none();

    ClassBuilder(m, "LedraXMLResultParser", {base})
        .doc("Reads a run's ResultsDetails.xml into the results dictionary: job\n"
             "metadata, one task record per testscript with its sections in\n"
             "pre-order, and the summaries; then indexes the sections.\n\n"
             "`id_seed`, None by default, gives sections and steps random ids; a\n"
             "text or bytes seed derives them (and the device-command ids) from\n"
             "the seed and the sections' paths: the same run read with the same\n"
             "seed has the same ids (see BaseResultsParser).")
        .attr("NS", ns)
        .method("__init__", &init, nb::arg("archive"), nb::kw_only(), nb::arg("id_seed").none() = none)
        .method("_parse_job_summary", &run<on_document<parse_job_summary>, nb::handle>, nb::arg("element"))
        .method("_parse_job_info", &run<on_document<parse_job_info>, nb::handle>, nb::arg("root_element"))
        .method("_parse_job", &run<on_document<parse_job>, nb::handle>, nb::arg("root_element"))
        .method("_parse_script_info", &run<parse_script_info, nb::handle>, nb::arg("script_element"))
        .method("_parse_script", &collect<parse_script_into, nb::handle>, nb::arg("element"))
        .method("_parse_common_section", &collect<parse_common_section_into, nb::handle, nb::handle, nb::handle, nb::handle>,
                nb::arg("element"), nb::arg("section_type"), nb::arg("parent") = "script",
                nb::arg("parents").none() = none)
        .method("_parse_testcase", &collect<parse_testcase_into, nb::handle, nb::handle, nb::handle>, nb::arg("element"),
                nb::arg("parent") = "script", nb::arg("parents").none() = none)
        .method("_parse_subtest", &collect<parse_subtest_into, nb::handle, nb::handle, nb::handle>, nb::arg("element"),
                nb::arg("parent") = "testcase", nb::arg("parents").none() = none)
        .method("_parse_testsections", &collect<parse_testsections_into, nb::handle, nb::handle, nb::handle>, nb::arg("element"),
                nb::arg("parent") = "testcase", nb::arg("parents").none() = none)
        .method("_parse_section", &run<parse_section, nb::handle, bool, nb::handle, nb::handle, nb::handle>, nb::arg("element"),
                nb::arg("with_initinfo") = false, nb::arg("parent") = "suite",
                nb::arg("section_type") = "testsection", nb::arg("parents").none() = none)
        .method("_parse_step_info", &collect<parse_step_info_into, nb::handle>, nb::arg("element"))
        .method("_parse_init_info", &run<init_info, nb::handle, nb::handle>, nb::arg("element"),
                nb::arg("section_type") = "testsection")
        .method("_parse_summary", &run<parse_summary, nb::handle>, nb::arg("element"))
        .method("_get_text", &get_text, nb::arg("element"), nb::arg("path"), nb::arg("default") = "")
        .method("_remove_ns", &remove_ns, nb::arg("text"))
        .static_method("_parse_result_id", [](nb::handle text) { return parse_result_id(text); },
                       nb::arg("str_"))
        .build();
}

}  // namespace tavix::xml_results
