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

// Defines ListSubcommand, then ViewSubcommand; each returns its class.
nb::object define_list_subcommand(nb::module_ &m, nb::handle subcommand_base);
nb::object define_view_subcommand(nb::module_ &m, nb::handle subcommand_base);

}  // namespace tavix::logs
