#include "stable_ids.hpp"

#include <cstring>
#include <unordered_map>
#include <vector>

#include "base.hpp"
#include "comparison/section_identity.hpp"
#include "json_text.hpp"
#include "py_helpers.hpp"

namespace tavix::parser_base {

namespace {

void set_item(nb::handle mapping, const char *key, nb::handle value) {
    if (PyMapping_SetItemString(mapping.ptr(), key, value.ptr()) < 0)
        throw nb::python_error();
}

bool has_key(nb::handle mapping, nb::handle key) {
    int found = PySequence_Contains(mapping.ptr(), key.ptr());
    if (found < 0)
        throw nb::python_error();
    return found;
}

// The bytes a seed stands for: text as UTF-8, bytes as they are.
nb::bytes seed_bytes(nb::handle seed) {
    if (PyBytes_Check(seed.ptr()))
        return nb::borrow<nb::bytes>(seed);
    return nb::steal<nb::bytes>(checked(PyUnicode_AsUTF8String(seed.ptr())).release());
}

}  // namespace

void check_seed(nb::handle seed) {
    if (seed.is_none() || PyUnicode_Check(seed.ptr()) || PyBytes_Check(seed.ptr()))
        return;
    PyErr_Format(PyExc_TypeError, "id_seed must be text, bytes or None, not %s", Py_TYPE(seed.ptr())->tp_name);
    throw nb::python_error();
}

SeededIds::SeededIds(nb::handle seed) : blake2b_(nb::module_::import_("hashlib").attr("blake2b")) {
    check_seed(seed);
    // Hashed to a key of the hash's largest size: a seed may be of any length.
    key_ = blake2b_(seed_bytes(seed), nb::arg("digest_size") = 64, nb::arg("person") = nb::bytes("tavix ids"))
               .attr("digest")();
}

nb::bytes SeededIds::digest(const std::string &identity) const {
    nb::object made = blake2b_(nb::bytes(identity.data(), identity.size()), nb::arg("digest_size") = 16,
                               nb::arg("key") = key_)
                          .attr("digest")();
    if (!PyBytes_Check(made.ptr()) || PyBytes_GET_SIZE(made.ptr()) != 16)
        throw nb::type_error("hashlib.blake2b gave a digest of another size");
    return nb::steal<nb::bytes>(made.release());
}

nb::str SeededIds::id_of(const std::string &identity) const {
    nb::bytes made = digest(identity);
    unsigned char bytes[16];
    std::memcpy(bytes, PyBytes_AS_STRING(made.ptr()), 16);
    return uuid4_text_of(bytes);
}

nb::bytes SeededIds::execute_key(nb::handle id) const {
    return digest("commands " + utf8_text(id));
}

void SeededIds::assign(nb::handle parser) const {
    // Every path first: they are found through the ids being replaced.
    std::vector<SectionPath> sections = section_paths_of(parser);
    std::vector<std::string> keys;
    std::vector<nb::str> ids;
    keys.reserve(sections.size());
    ids.reserve(sections.size());
    nb::dict renamed;  // id before -> id now, for the parent_id of the sections below
    for (const SectionPath &section : sections) {
        keys.push_back(path_key(section.names));
        ids.push_back(id_of("section " + keys.back()));
        if (PyDict_SetItem(renamed.ptr(), get_item(section.record, "id").ptr(), ids.back().ptr()) < 0)
            throw nb::python_error();
    }
    nb::str id_name("id");
    for (size_t i = 0; i < sections.size(); ++i) {
        if (i % 1024 == 1023)
            handle_pending_signals();
        nb::handle record = sections[i].record;
        set_item(record, "id", ids[i]);
        PyObject *parent = PyDict_GetItemWithError(renamed.ptr(), get_item(record, "parent_id").ptr());
        if (parent)
            set_item(record, "parent_id", parent);
        else if (PyErr_Occurred())
            throw nb::python_error();

        nb::object steps = get_item(record, "steps");
        if (steps.is_none() || PyUnicode_Check(steps.ptr()))
            continue;
        std::unordered_map<std::string, long> occurrences;  // step id -> steps of it so far
        for (nb::handle step : steps) {
            if (!has_key(step, id_name))
                continue;  // a step without a log range or source has no id
            std::string step_id = utf8_text(get_item(step, "step_id"));
            long occurrence = ++occurrences[step_id];
            std::string identity = "step " + keys[i] + " ";
            append_json_string(identity, step_id);
            identity += ' ';
            identity += std::to_string(occurrence);
            set_item(step, "id", id_of(identity));
        }
    }
}

}  // namespace tavix::parser_base
