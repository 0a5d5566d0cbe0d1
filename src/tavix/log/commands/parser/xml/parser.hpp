// tavix.log.commands.parser.xml: LedraXMLResultParser, which reads a run's
// "ResultsDetails.xml" into the results model of the viewer.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "elements.hpp"

namespace tavix::xml_results {

namespace nb = nanobind;

// The results file of a run archive and the namespace its writer uses
// (module attributes RESULTS_FILE and NAMESPACE, for whatever writes one).
inline constexpr const char *RESULTS_FILE = "ResultsDetails.xml";
inline constexpr const char *NAMESPACE = "http://www.tavix.org/xml/schema/qenreport";

// Interpreter objects looked up once when the module loads.
struct Refs {
    nb::object os_path_join, os_fstat, io_open, et_xml_parser, result_id_search, int_type, default_ns;
};
Refs &refs();

// The state of one parse: the parser object, the tag names of its namespace
// and its section counter, which each method of the class reads from
// `_sequence_number` and writes back when it returns.
struct Context {
    explicit Context(nb::handle parser);
    nb::handle self;
    Names names;
    long long sequence;
    // The next sequence number. Every so many sections, pending signals are
    // handled and the opening's observer is told how many are read.
    nb::object next_sequence();
    nb::object remove_ns(nb::handle tag) const;
};

// The section tree of one testscript (sections.cpp).
void parse_script_into(Context &c, nb::list &out, nb::handle script);
void parse_common_section_into(Context &c, nb::list &out, nb::handle element, nb::handle section_type,
                               nb::handle parent, nb::handle parents);
void parse_testcase_into(Context &c, nb::list &out, nb::handle element, nb::handle parent, nb::handle parents);
void parse_subtest_into(Context &c, nb::list &out, nb::handle element, nb::handle parent, nb::handle parents);
void parse_testsections_into(Context &c, nb::list &out, nb::handle element, nb::handle parent,
                             nb::handle parents);
nb::dict parse_section(Context &c, nb::handle element, bool with_initinfo, nb::handle parent,
                       nb::handle section_type, nb::handle parents);
void add_init_info(Context &c, nb::dict &record, nb::handle node, nb::handle section_type);
void parse_step_info_into(Context &c, nb::list &out, nb::handle step);

// Job metadata, tasks, summaries (job.cpp).
nb::object document_root(nb::handle document);
void parse_job_info(Context &c, nb::handle root);
void parse_job(Context &c, nb::handle root);
void parse_job_summary(Context &c, nb::handle root);
nb::dict parse_summary(Context &c, nb::handle element);
nb::dict parse_script_info(Context &c, nb::handle script);
nb::object parse_result_id(nb::handle text);

// The namespace of a root tag "{uri}name" when uri is a results namespace
// (an http or https URI whose path is /xml/schema/qenreport); else "".
std::string results_namespace_of(nb::handle tag);

void define_parser(nb::module_ &m);

}  // namespace tavix::xml_results
