// Ids derived from a seed instead of drawn at random: a run opened twice with
// one seed gives every section, step and device command the same id, so the
// links and pages that hold ids outlive the process that handed them out.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace tavix::parser_base {

namespace nb = nanobind;

class SeededIds {
public:
    // `seed`: text (taken as UTF-8) or bytes; TypeError for anything else.
    explicit SeededIds(nb::handle seed);

    // Gives every section of the parser's tasks the id of its path (see
    // section_paths) and every step holding an id the id of its section's
    // path, its step id and its occurrence among the section's steps of that
    // step id; the sections' parent_id follow. Run before the sections are
    // indexed.
    void assign(nb::handle parser) const;

    // The key of the device-command ids of the section or step with this id
    // (a LogSection's _execute_key).
    nb::bytes execute_key(nb::handle id) const;

private:
    // 16 bytes of the seed's keyed hash of `identity`.
    nb::bytes digest(const std::string &identity) const;
    nb::str id_of(const std::string &identity) const;

    nb::object blake2b_, key_;
};

// The seed as a parser keeps it: None, text or bytes; TypeError otherwise.
void check_seed(nb::handle seed);

}  // namespace tavix::parser_base
