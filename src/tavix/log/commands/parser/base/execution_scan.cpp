// The execution scan: finds the device commands run during a section by
// walking its part of the task log with the line reader.
//
// The section's lines are those a size hint of `log_size` bytes reads from
// `log_start` (every line that starts at or before the section's end, so the
// first line after the section is included and can close a command still
// open). Line indices count from the section's first line, as the archive's
// `read_lines` counts them.
//
// Only lines that can change the outcome are looked at: while no command is
// open, lines holding "+++"; while one is open, lines holding the host name
// (only record lines of the host close it); while a ping block waits for its
// target, every line. The lines in between are counted, never kept.
//
// While the stock pieces are in place (the module's Pattern with its own
// patterns, its LogExecute with the stock __init__ and _format_type, the
// interpreter's uuid.uuid4, a host name that is text), the walk runs without
// the interpreter and fills an ExecutionTable. Any piece replaced is used as
// the interpreter would use it, building the execution objects as the walk
// goes, with the same results.
#include "execution_walk.hpp"

namespace tavix::parser_base {

using namespace scan;

nb::object scan_executions(nb::handle section, size_t *bytes) {
    Pieces pieces;
    SectionFacts facts(section);
    if (pieces.all_stock() && !facts.host_unusable)
        return scan_to_table(section, facts);
    return scan_to_objects(section, facts, pieces, bytes);
}

nb::object executions_unless_cancelled(nb::handle section, nb::handle cancel) {
    return executions_unless_cancelled(section, cancel_flag_of(cancel));
}

nb::object executions_unless_cancelled(nb::handle section, const CancelFlag &flag) {
    struct Watched {
        explicit Watched(const std::atomic<bool> *flag) : saved(scan_cancel) { scan_cancel = flag; }
        ~Watched() { scan_cancel = saved; }
        const std::atomic<bool> *saved;
    } watched(flag.get());
    if (stock_child_execute(section))
        return scanned_executions(section);
    return section.attr("child_execute");
}

}  // namespace tavix::parser_base
