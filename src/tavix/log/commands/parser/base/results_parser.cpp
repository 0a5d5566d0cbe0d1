// BaseResultsParser: the section index over the task records that a results
// parser has read, and the tree relations the flat section lists imply.
#include "base.hpp"
#include "class_builder.hpp"
#include "py_helpers.hpp"
#include "stable_ids.hpp"

#include <optional>

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

nb::object id_seed(nb::handle self) {
    nb::object seed = optional_attr(self, "_id_seed");
    return seed.is_valid() ? seed : nb::none();
}

void set_id_seed(nb::handle self, nb::handle seed) {
    check_seed(seed);
    nb::setattr(self, "_id_seed", seed);
}

// Indexes every section and step, then walks each task's list backwards so
// that the last section of every subtree reports its sequence number up to
// its parent first: one pass gives every section the range of its subtree.
// With a seed, every section and step gets its derived id first, and each
// one indexed the key of its device-command ids.
void prepare_sections(nb::handle self) {
    nb::object seed = self.attr("id_seed");
    std::optional<SeededIds> seeded;
    if (!seed.is_none()) {
        seeded.emplace(seed);
        seeded->assign(self);
    }
    nb::dict index;
    nb::setattr(self, "sections_dict", index);
    nb::object archive = self.attr("archive");
    nb::object log_section = shared().log_section;
    nb::object host;
    bool host_read = false;

    nb::str id_key("id"), steps_key("steps"), sequence_key("sequence_number"),
        parents_key("parents"), parent_id_key("parent_id"), child_end_key("child_end"),
        child_start_key("child_start"), parent_key("parent");

    auto index_record = [&](nb::handle record) {
        nb::object id = item(record, id_key);
        nb::object view = log_section(archive, record, host);
        if (seeded)
            nb::setattr(view, "_execute_key", seeded->execute_key(id));
        set_item(index, id, view);
    };

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
            index_record(section);
            for (nb::handle step : item(section, steps_key))
                index_record(step);
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
             "as a LogSection and derives the subtree ranges and step owners.\n\n"
             "Ids are the parser's own (random ones) unless `id_seed` is set: then\n"
             "prepare_sections first derives each section's id from the seed and its path\n"
             "(see section_paths), each step's from its section's path, its step id and\n"
             "its occurrence among the section's steps of that step id, and each one's\n"
             "device-command ids from its id, so one run opened with one seed always\n"
             "has the same ids.")
        .method("__init__", &parser_init, "archive"_a.none())
        .property("id_seed", &id_seed, &set_id_seed,
                  "None (the parser's own ids), or the text or bytes the ids are derived from.")
        .method("prepare_sections", &prepare_sections)
        .method("get_section", &get_section, "section_uuid"_a.none())
        .method("get_task_names", &get_task_names)
        .build();
}

}  // namespace tavix::parser_base
