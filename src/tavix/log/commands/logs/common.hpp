// Shared state of tavix.log.commands.logs: the module, its logger and the
// standard modules the commands call, owned for the life of the process.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>

namespace tavix::logs {

namespace nb = nanobind;

struct State {
    nb::object module;  // its globals (cfg, Archive, LogViewerServer, format_table) are
                        // looked up at each use, as a Python module's would be
    nb::object logger;
    nb::object os, sys, time, socket, shlex, shutil, platform, subprocess, logging, secrets;
    nb::object path_class, getuser;
    nb::object progress_line;  // tavix.cli.progress.ProgressLine
    nb::object view_class, logs_class;  // for super() in their constructors
    nb::object history_commands;  // tavix.log.commands.history.commands
    nb::object history_viewer;    // tavix.log.commands.history.viewer.history_for_viewer
    nb::object history_baseline;  // tavix.log.commands.history.baseline ("previous")
    nb::object report_marks;      // tavix.log.commands.history.report_marks
};

State &state();

// module.<name>, looked up now.
inline nb::object global(const char *name) { return state().module.attr(name); }

// Python truth value of obj.
inline bool truthy(nb::handle obj) {
    int result = PyObject_IsTrue(obj.ptr());
    if (result < 0)
        throw nb::python_error();
    return result != 0;
}

// What `tavix logs --help` and the subcommand's own help show of it.
struct SubcommandText {
    const char *name, *help, *usage, *description;
};

// A subcommand class deriving from `base`, with its texts as class
// attributes and its __init__(self, *args, **kwargs) and run(self, args).
nb::object define_subcommand(nb::module_ &m, const char *class_name, nb::handle base, const SubcommandText &text,
                             void (*init)(nb::handle, nb::args, nb::kwargs), void (*run)(nb::handle, nb::handle));

// Raises exception_type(message) as a Python exception.
[[noreturn]] void raise(PyObject *exception_type, nb::handle message);

// The progress of opening an archive, shown on standard error while it is a
// terminal (opening_progress.cpp); made when the opening starts.
class OpeningProgress {
public:
    OpeningProgress();
    bool active() const;
    nb::object observer() const;  // the callable for Archive.progress
    void erase() const;           // takes the progress line off the screen
    void tell_opened() const;     // "(opened in 3.4 s, 24,510 sections)"
    struct Shown;

private:
    std::shared_ptr<Shown> shown_;
};

// The archive named on the command line: none is the newest, "-<...><digit>"
// the one at that digit's index of the list, anything else a file path; as
// an absolute path, FileNotFoundError when nothing is there.
nb::object choose_archive(nb::handle choice);

// `with context as value: body(value)`, leaving the context on every way out.
template <typename Body>
void with_context(nb::handle context, Body &&body) {
    nb::object type = nb::borrow(context.type());
    nb::object value = type.attr("__enter__")(context);
    try {
        body(value);
    } catch (nb::python_error &error) {
        nb::object traceback = error.traceback();
        if (!traceback.is_valid())
            traceback = nb::none();
        nb::object suppress =
            type.attr("__exit__")(context, error.type(), error.value(), traceback);
        if (!truthy(suppress))
            throw;
        return;
    } catch (...) {
        type.attr("__exit__")(context, nb::none(), nb::none(), nb::none());
        throw;
    }
    type.attr("__exit__")(context, nb::none(), nb::none(), nb::none());
}

// Two runs side by side (run_pair.cpp): the BASE and NEW arguments and
// --json, added to a subcommand's parser; whether standard output takes
// colours; text wrapped in a colour of the palette when it does.
void add_run_pair_arguments(nb::handle self);
bool colour_output();
nb::object painted(const char *colour, nb::handle text, bool colour_on);
// Prints through the command's logger, as the other messages go.
void show(nb::handle text);
// Prints a line holding text of the archive the same way: escaped on a
// terminal (terminal_text), then painted in `colour` of the palette if any.
void show_text(nb::handle text, const char *colour = nullptr);

// Whether a baseline choice is "previous": the run before, from the run index.
bool is_previous(nb::handle choice);

// body(base archive, new archive) with both archives of `args` open; BASE
// "previous" is the run before NEW in the run index.
template <typename Body>
void with_run_pair(nb::handle args, Body &&body) {
    nb::object new_path = choose_archive(args.attr("new"));
    nb::object base_path = is_previous(args.attr("base"))
                               ? state().history_baseline.attr("previous_of")(
                                     new_path, nb::getattr(args, "index", nb::none()))
                               : choose_archive(args.attr("base"));
    with_context(global("Archive")(base_path), [&](nb::handle base) {
        with_context(global("Archive")(new_path), [&](nb::handle changed) { body(base, changed); });
    });
}

// Defines cancel_flag() in the module (cancel_flags.cpp).
void define_cancel_flag_function(nb::module_ &m);

// Define the subcommands; each returns its class.
nb::object define_list_subcommand(nb::module_ &m, nb::handle subcommand_base);
nb::object define_view_subcommand(nb::module_ &m, nb::handle subcommand_base);
// At the terminal and in CI: the run without a browser.
nb::object define_failures_subcommand(nb::module_ &m, nb::handle subcommand_base);
nb::object define_search_subcommand(nb::module_ &m, nb::handle subcommand_base);
nb::object define_export_subcommand(nb::module_ &m, nb::handle subcommand_base);
// CompareSubcommand and DiffSubcommand: two runs side by side.
nb::object define_compare_subcommand(nb::module_ &m, nb::handle subcommand_base);
nb::object define_diff_subcommand(nb::module_ &m, nb::handle subcommand_base);

}  // namespace tavix::logs
