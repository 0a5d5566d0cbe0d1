// The LedraXMLResultParser class.
#include <class_builder.hpp>

#include "parser.hpp"

namespace tavix::xml_results {

namespace {

std::string namespace_of(nb::handle parser) {
    return nb::cast<std::string>(parser.attr("NS")["x"]);
}

void init(nb::handle self, nb::handle archive) {
    self.attr("archive") = archive;
    self.attr("results") = nb::dict();
    self.attr("_sequence_number") = nb::int_(0);

    nb::object path = refs().os_path_join(as_text(archive.attr("dir")), "ResultsDetails.xml");
    nb::object root = refs().et_parse(path).attr("getroot")();
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

}  // namespace

Context::Context(nb::handle parser)
    : self(parser),
      names(namespace_of(parser)),
      sequence(nb::cast<long long>(parser.attr("_sequence_number"))) {}

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
             "pre-order, and the summaries; then indexes the sections.")
        .attr("NS", ns)
        .method("__init__", &init, nb::arg("archive"))
        .method("_parse_job_summary",
                [](nb::handle self, nb::handle element) {
                    with_context(self, [&](Context &c) {
                        parse_job_summary(c, document_root(element));
                        return 0;
                    });
                },
                nb::arg("element"))
        .method("_parse_job_info",
                [](nb::handle self, nb::handle root_element) {
                    with_context(self, [&](Context &c) {
                        parse_job_info(c, document_root(root_element));
                        return 0;
                    });
                },
                nb::arg("root_element"))
        .method("_parse_job",
                [](nb::handle self, nb::handle root_element) {
                    with_context(self, [&](Context &c) {
                        parse_job(c, document_root(root_element));
                        return 0;
                    });
                },
                nb::arg("root_element"))
        .method("_parse_script_info",
                [](nb::handle self, nb::handle script_element) {
                    return with_context(self, [&](Context &c) { return parse_script_info(c, script_element); });
                },
                nb::arg("script_element"))
        .method("_parse_script",
                [](nb::handle self, nb::handle element) {
                    return with_context(self, [&](Context &c) {
                        nb::list out;
                        parse_script_into(c, out, element);
                        return out;
                    });
                },
                nb::arg("element"))
        .method("_parse_common_section",
                [](nb::handle self, nb::handle element, nb::handle section_type, nb::handle parent,
                   nb::handle parents) {
                    return with_context(self, [&](Context &c) {
                        nb::list out;
                        parse_common_section_into(c, out, element, section_type, parent, parents);
                        return out;
                    });
                },
                nb::arg("element"), nb::arg("section_type"), nb::arg("parent") = "script",
                nb::arg("parents").none() = none)
        .method("_parse_testcase",
                [](nb::handle self, nb::handle element, nb::handle parent, nb::handle parents) {
                    return with_context(self, [&](Context &c) {
                        nb::list out;
                        parse_testcase_into(c, out, element, parent, parents);
                        return out;
                    });
                },
                nb::arg("element"), nb::arg("parent") = "script", nb::arg("parents").none() = none)
        .method("_parse_subtest",
                [](nb::handle self, nb::handle element, nb::handle parent, nb::handle parents) {
                    return with_context(self, [&](Context &c) {
                        nb::list out;
                        parse_subtest_into(c, out, element, parent, parents);
                        return out;
                    });
                },
                nb::arg("element"), nb::arg("parent") = "testcase", nb::arg("parents").none() = none)
        .method("_parse_testsections",
                [](nb::handle self, nb::handle element, nb::handle parent, nb::handle parents) {
                    return with_context(self, [&](Context &c) {
                        nb::list out;
                        parse_testsections_into(c, out, element, parent, parents);
                        return out;
                    });
                },
                nb::arg("element"), nb::arg("parent") = "testcase", nb::arg("parents").none() = none)
        .method("_parse_section",
                [](nb::handle self, nb::handle element, bool with_initinfo, nb::handle parent,
                   nb::handle section_type, nb::handle parents) {
                    return with_context(self, [&](Context &c) {
                        return parse_section(c, element, with_initinfo, parent, section_type, parents);
                    });
                },
                nb::arg("element"), nb::arg("with_initinfo") = false, nb::arg("parent") = "suite",
                nb::arg("section_type") = "testsection", nb::arg("parents").none() = none)
        .method("_parse_step_info",
                [](nb::handle self, nb::handle element) {
                    return with_context(self, [&](Context &c) {
                        nb::list out;
                        parse_step_info_into(c, out, element);
                        return out;
                    });
                },
                nb::arg("element"))
        .method("_parse_init_info",
                [](nb::handle self, nb::handle element, nb::handle section_type) {
                    return with_context(self, [&](Context &c) {
                        nb::dict info;
                        add_init_info(c, info, element, section_type);
                        return info;
                    });
                },
                nb::arg("element"), nb::arg("section_type") = "testsection")
        .method("_parse_summary",
                [](nb::handle self, nb::handle element) {
                    return with_context(self, [&](Context &c) { return parse_summary(c, element); });
                },
                nb::arg("element"))
        .method("_get_text", &get_text, nb::arg("element"), nb::arg("path"), nb::arg("default") = "")
        .method("_remove_ns", &remove_ns, nb::arg("text"))
        .static_method("_parse_result_id", [](nb::handle text) { return parse_result_id(text); },
                       nb::arg("str_"))
        .build();
}

}  // namespace tavix::xml_results
