// BaseResultsParser: the section index over the task records that a results
// parser has read, and the tree relations the flat section lists imply.
#include "base.hpp"
#include "class_builder.hpp"
#include "py_helpers.hpp"

namespace tavix::parser_base {

namespace {

nb::object item(nb::handle mapping, nb::handle key) {
    return checked(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

void set_item(nb::handle mapping, nb::handle key, nb::handle value) {
    if (PyObject_SetItem(mapping.ptr(), key.ptr(), value.ptr()) < 0)
        throw nb::python_error();
}

bool contains(nb::handle mapping, nb::handle key) {
    int found = PySequence_Contains(mapping.ptr(), key.ptr());
    if (found < 0)
        throw nb::python_error();
    return found;
}

void parser_init(nb::handle self, nb::handle archive) {
    nb::setattr(self, "archive", archive);
    self.attr("prepare_sections")();
}

// Indexes every section and step, then walks each task's list backwards so
// that the last section of every subtree reports its sequence number up to
// its parent first: one pass gives every section the range of its subtree.
void prepare_sections(nb::handle self) {
    nb::dict index;
    nb::setattr(self, "sections_dict", index);
    nb::object archive = self.attr("archive");
    nb::object log_section = shared().log_section;
    nb::object host;
    bool host_read = false;

    nb::str id_key("id"), steps_key("steps"), sequence_key("sequence_number"),
        parents_key("parents"), parent_id_key("parent_id"), child_end_key("child_end"),
        child_start_key("child_start"), parent_key("parent");

    for (nb::handle task : self.attr("scripts")) {
        nb::object listed = task.attr("get")("sections");
        // Lists and tuples are walked in place; anything else is iterated once
        // into a list (None fails here, as iterating it would).
        nb::object sections = PyList_Check(listed.ptr()) || PyTuple_Check(listed.ptr())
                                  ? listed
                                  : checked(PySequence_List(listed.ptr()));
        Py_ssize_t count = PySequence_Fast_GET_SIZE(sections.ptr());
        PyObject **records = PySequence_Fast_ITEMS(sections.ptr());
        if (count && !host_read) {
            host = self.attr("meta").attr("get")("exec_host");
            host_read = true;
        }

        for (Py_ssize_t i = 0; i < count; ++i) {
            // Indexing a large job takes a while: an interrupt is answered.
            if (i % 1024 == 1023)
                tavix::handle_pending_signals();
            nb::handle section(records[i]);
            set_item(index, item(section, id_key), log_section(archive, section, host));
            for (nb::handle step : item(section, steps_key))
                set_item(index, item(step, id_key), log_section(archive, step, host));
        }

        for (Py_ssize_t i = count - 1; i >= 0; --i) {
            nb::handle section(records[i]);
            if (!contains(section, child_end_key))
                set_item(section, child_end_key, item(section, sequence_key));
            nb::object parents = item(section, parents_key);
            if (tavix::truthy(parents)) {
                nb::object parent = item(index, item(section, parent_id_key));
                if (!contains(parent, child_end_key))
                    set_item(parent, child_end_key, item(section, child_end_key));
            }
            nb::object sequence_number = item(section, sequence_key);
            set_item(section, child_start_key, sequence_number);
            nb::object steps = item(section, steps_key);
            if (!nb::len(steps))
                continue;
            nb::object section_id = item(section, id_key);
            for (nb::handle step : steps) {
                set_item(step, parent_key, section_id);
                nb::object step_parents = checked(PySequence_List(parents.ptr()));
                if (PyList_Append(step_parents.ptr(), sequence_number.ptr()) < 0)
                    throw nb::python_error();
                set_item(step, parents_key, step_parents);
            }
        }
    }
}

nb::object get_section(nb::handle self, nb::handle section_uuid) {
    return self.attr("sections_dict").attr("get")(section_uuid);
}

nb::list get_task_names(nb::handle self) {
    nb::list names;
    size_t position = 0;
    for (nb::handle task : self.attr("scripts")) {
        nb::dict entry;
        entry["task_id"] = item(item(task, nb::str("meta")), nb::str("task_id"));
        entry["sequence_number"] = position++;
        names.append(entry);
    }
    return names;
}

}  // namespace

void define_results_parser(nb::module_ &module) {
    using namespace nb::literals;
    nb::handle object_type(reinterpret_cast<PyObject *>(&PyBaseObject_Type));
    ClassBuilder(module, "BaseResultsParser", {object_type})
        .doc("Base of the results parsers: indexes every section and step of every task "
             "as a LogSection and derives the subtree ranges and step owners.")
        .method("__init__", &parser_init, "archive"_a.none())
        .method("prepare_sections", &prepare_sections)
        .method("get_section", &get_section, "section_uuid"_a.none())
        .method("get_task_names", &get_task_names)
        .build();
}

}  // namespace tavix::parser_base
