// compare_runs: what changed between two runs, section by section and
// failure category by category.
#include <nanobind/nanobind.h>

#include "../base.hpp"
#include "section_identity.hpp"

namespace tavix::parser_base {

namespace {

nb::dict run_header(nb::handle parser) {
    nb::object meta = parser.attr("meta");
    nb::dict header;
    for (const char *key : {"request_id", "start_time", "suite_name"})
        header[key] = meta.is_none() ? nb::object(nb::none()) : get_item(meta, key);
    return header;
}

nb::dict entry(const SectionPath &section, nb::handle base_result, nb::handle result) {
    nb::dict item;
    item["path"] = section.names;
    item["type"] = get_item(section.record, "section_type");
    item["base_result"] = base_result;
    item["result"] = result;
    return item;
}

// Categories of the new run in its order, each with its count in the base
// run, then those only the base run has.
nb::list compared_categories(nb::handle base_parser, nb::handle new_parser) {
    nb::object categories_of = shared().module.attr("failure_categories");
    nb::object base_categories = categories_of(base_parser)["categories"];
    nb::object new_categories = categories_of(new_parser)["categories"];
    nb::dict base_count, new_signatures;
    for (nb::handle category : base_categories)
        base_count[category["signature"]] = category["count"];
    nb::list listed;
    auto add = [&](nb::handle category, nb::object before, nb::object now) {
        const char *change = before.equal(now) ? "same" : before.equal(nb::int_(0)) ? "new"
                           : now.equal(nb::int_(0)) ? "gone" : (before < now) ? "more" : "fewer";
        nb::dict item;
        item["signature"] = category["signature"];
        item["example"] = category["example"];
        item["base_count"] = before;
        item["count"] = now;
        item["change"] = change;
        listed.append(item);
    };
    for (nb::handle category : new_categories) {
        new_signatures[category["signature"]] = true;
        add(category, base_count.attr("get")(category["signature"], 0), category["count"]);
    }
    for (nb::handle category : base_categories)
        if (!new_signatures.contains(category["signature"]))
            add(category, category["count"], nb::int_(0));
    return listed;
}

nb::dict compare_runs(nb::handle base_parser, nb::handle new_parser) {
    std::vector<SectionPath> base_sections = section_paths_of(base_parser);
    std::vector<SectionPath> new_sections = section_paths_of(new_parser);
    nb::dict base_by_path;
    for (size_t i = 0; i < base_sections.size(); ++i)
        base_by_path[base_sections[i].text] = i;
    nb::list newly_failing, fixed, still_failing, only_in_base, only_in_new;
    nb::dict matched;
    for (const SectionPath &section : new_sections) {
        nb::object result = get_item(section.record, "result");
        bool failing = is_failure(result);
        PyObject *found = PyDict_GetItemWithError(base_by_path.ptr(), section.text.ptr());
        if (!found && PyErr_Occurred())
            throw nb::python_error();
        if (!found) {
            // A section that is new and fails is newly failing too; one that
            // is gone is only gone, not fixed.
            only_in_new.append(entry(section, nb::none(), result));
            if (failing)
                newly_failing.append(entry(section, nb::none(), result));
            continue;
        }
        matched[section.text] = true;
        nb::object base_result = get_item(base_sections[nb::cast<size_t>(nb::handle(found))].record, "result");
        bool was_failing = is_failure(base_result);
        if (failing && !was_failing)
            newly_failing.append(entry(section, base_result, result));
        else if (!failing && was_failing)
            fixed.append(entry(section, base_result, result));
        else if (failing && was_failing)
            still_failing.append(entry(section, base_result, result));
    }
    for (const SectionPath &section : base_sections)
        if (!matched.contains(section.text))
            only_in_base.append(entry(section, get_item(section.record, "result"), nb::none()));

    nb::dict answer;
    answer["base"] = run_header(base_parser);
    answer["new"] = run_header(new_parser);
    answer["same_suite"] = answer["base"]["suite_name"].equal(answer["new"]["suite_name"]);
    answer["newly_failing"] = newly_failing;
    answer["fixed"] = fixed;
    answer["still_failing"] = still_failing;
    answer["only_in_base"] = only_in_base;
    answer["only_in_new"] = only_in_new;
    answer["categories"] = compared_categories(base_parser, new_parser);
    return answer;
}

}  // namespace

void define_run_comparison(nb::module_ &module) {
    module.def("compare_runs", &compare_runs, nb::arg("base_parser"), nb::arg("new_parser"),
               "What changed from the base run to the new one: {\"base\" and \"new\": {\"request_id\",\n"
               "\"start_time\", \"suite_name\"}, \"same_suite\", \"newly_failing\", \"fixed\",\n"
               "\"still_failing\", \"only_in_base\", \"only_in_new\", \"categories\"}.\n\n"
               "Sections (not steps) are matched by their paths (see section_paths). Each entry of\n"
               "the five lists is {\"path\", \"type\", \"base_result\", \"result\"}, a side's result\n"
               "null where it has no such section. Failing results are failed, errored, aborted and\n"
               "blocked. Newly failing: failing in the new run and not in the base run, a section\n"
               "only in the new run included; fixed: failing in the base run, not in the new one,\n"
               "both having it; still failing: failing in both. The categories are the failure\n"
               "categories of both runs matched by signature, {\"signature\", \"example\",\n"
               "\"base_count\", \"count\", \"change\": \"new\", \"gone\", \"more\", \"fewer\" or \"same\"}:\n"
               "the new run's in its order, then those only the base run has.");
}

}  // namespace tavix::parser_base
