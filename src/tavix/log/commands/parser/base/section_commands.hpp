// The device commands of one section as the viewer and all_executions() see
// them, whichever way they are held: the scan's table, a dictionary of
// execution objects (the scan's, when pieces of it were replaced, or a
// replaced child_execute's), or the section's own all_executions() and
// get_execution() when those were replaced. Every page, whole list and look
// up goes through here, with one filter rule (see command_filter.hpp).
#pragma once

#include <cancel_flag.hpp>

#include <optional>

#include "base.hpp"

namespace tavix::parser_base {

class SectionCommands {
public:
    // The section's commands, scanned now (stopping once `cancel` is set)
    // unless the scan is kept.
    SectionCommands(nb::handle section, const CancelFlag &cancel);
    // The commands while their scan is kept; nothing when it is not.
    static std::optional<SectionCommands> kept(nb::handle section);
    // The commands as LogSection's own all_executions() and get_execution()
    // read them, whether or not those were replaced.
    static SectionCommands stock_pieces(nb::handle section);

    // (total, JSON forms) of the commands the filters keep, from `offset`, at
    // most `limit` of them and fewer once their texts take PAGE_BUDGET.
    nb::tuple page(size_t offset, size_t limit, nb::handle device, nb::handle text, const CancelFlag &cancel);
    // The JSON form of every command.
    nb::object whole(const CancelFlag &cancel);
    // The execution object with that id, or None.
    nb::object find(nb::handle execute_id);
    // (start_at, end_at, start_line, end_line) of that command's block in the
    // log when the table knows it and the execution still says so; None.
    nb::object log_range(nb::handle execute_id);

private:
    SectionCommands(nb::handle section, nb::object scanned);
    // The execution objects when they are a mapping's (a table's once its
    // dictionary was handed out): invalid on the table's path.
    nb::object mapping() const;

    nb::object section_, scanned_;
    bool own_list_, own_find_;  // all_executions() and get_execution() replaced
};

void define_section_commands(nb::module_ &module);

}  // namespace tavix::parser_base
