#include "section_identity.hpp"

#include "../base.hpp"
#include "json_text.hpp"
#include "py_helpers.hpp"

namespace tavix::parser_base {

namespace {

// The name the tree shows, or the section's type when it has none.
nb::object shown_name(nb::handle record) {
    nb::object name = get_item(record, "section_name");
    if (name.is_none() || !tavix::truthy(name))
        name = get_item(record, "section_type");
    return tavix::as_text(name);
}

std::vector<nb::object> items_of(nb::handle sequence) {
    std::vector<nb::object> items;
    if (!sequence.is_none() && !PyUnicode_Check(sequence.ptr()))
        for (nb::handle item : sequence)
            items.push_back(nb::borrow(item));
    return items;
}

nb::list split_path(nb::handle text) {
    std::string path = utf8_text(text), name;
    nb::list names;
    for (size_t i = 0; i < path.size(); ++i) {
        char c = path[i];
        if (c == '\\' && i + 1 < path.size() && (path[i + 1] == '\\' || path[i + 1] == '/')) {
            name.push_back(path[++i]);
        } else if (c == '/') {
            names.append(decode(name));
            name.clear();
        } else {
            name.push_back(c);
        }
    }
    names.append(decode(name));
    return names;
}

nb::dict section_paths(nb::handle parser) {
    nb::dict paths;
    for (const SectionPath &section : section_paths_of(parser))
        paths[get_item(section.record, "id")] = section.names;
    return paths;
}

}  // namespace

// A name as it stands in a path text: "\" written "\\" and "/" written "\/".
nb::str escaped_name(nb::handle name) {
    nb::str text = tavix::as_text(name);
    Py_ssize_t length = PyUnicode_GetLength(text.ptr());
    if (PyUnicode_FindChar(text.ptr(), '\\', 0, length, 1) == -1 && PyUnicode_FindChar(text.ptr(), '/', 0, length, 1) == -1)
        return text;  // the common case, without a copy
    return nb::str(text.attr("replace")("\\", "\\\\").attr("replace")("/", "\\/"));
}

std::string path_key(nb::handle names) {
    std::string key = "[";
    for (nb::handle name : names) {
        if (key.size() > 1)
            key += ',';
        append_json_string(key, utf8_text(name));
    }
    key += ']';
    return key;
}

nb::str path_text(nb::handle names) {
    nb::list escaped;
    for (nb::handle name : names)
        escaped.append(escaped_name(name));
    return nb::str(nb::str("/").attr("join")(escaped));
}

std::vector<SectionPath> section_paths_of(nb::handle parser) {
    std::vector<SectionPath> out;
    nb::dict seen;  // path text -> how many sections had it so far
    nb::dict by_id; // section id -> its index in `out`, for the children
    nb::str slash("/");
    for (nb::handle task : parser.attr("scripts")) {
        for (const nb::object &record : items_of(get_item(task, "sections"))) {
            nb::list names;
            nb::str text("");
            if (tavix::truthy(get_item(record, "parents"))) {
                PyObject *parent = PyDict_GetItemWithError(by_id.ptr(), get_item(record, "parent_id").ptr());
                if (!parent && PyErr_Occurred())
                    throw nb::python_error();
                if (parent) {
                    const SectionPath &above = out[nb::cast<size_t>(nb::handle(parent))];
                    names = nb::steal<nb::list>(checked(PySequence_List(above.names.ptr())).release());
                    text = nb::str(above.text + slash);
                }
            }
            nb::str name = tavix::as_text(shown_name(record));
            names.append(name);
            nb::str own = nb::str(text + escaped_name(name));
            PyObject *before = PyDict_GetItemWithError(seen.ptr(), own.ptr());
            if (!before && PyErr_Occurred())
                throw nb::python_error();
            long count = before ? PyLong_AsLong(before) + 1 : 1;
            if (count > 1) {
                // From the count on, the first number whose path no section
                // before has, whether by its own name or numbered.
                nb::str numbered, free;
                for (;; ++count) {
                    numbered = nb::str("{}#{}").format(name, count);
                    free = nb::str(text + escaped_name(numbered));
                    int taken = PyDict_Contains(seen.ptr(), free.ptr());
                    if (taken < 0)
                        throw nb::python_error();
                    if (!taken)
                        break;
                }
                seen[own] = count;  // the next section of the path is numbered after it
                names[nb::len(names) - 1] = numbered;
                own = free;
                count = 1;
            }
            seen[own] = count;
            by_id[get_item(record, "id")] = out.size();
            out.push_back({record, names, own});
        }
    }
    return out;
}

void define_section_identity(nb::module_ &module) {
    module.def("section_paths", &section_paths, nb::arg("parser"),
               "{section id: path} for every section of the parser's tasks (steps left out), in tree\n"
               "order. A path is the script's name, then the names of the sections from the script\n"
               "down as the tree shows them (an unnamed one by its type); the 2nd, 3rd... section\n"
               "with the same path gets \"#2\", \"#3\"... after its own name, or the next number\n"
               "whose path no section before it has. No two sections share a path; runs match\n"
               "their sections by these paths.");
    module.def("path_text", &path_text, nb::arg("names"),
               "The path's names joined by \"/\"; inside a name \"\\\" is written \"\\\\\" and \"/\" \"\\/\".");
    module.def("split_path", &split_path, nb::arg("text"), "The names of a path written as path_text writes it.");
}

}  // namespace tavix::parser_base
