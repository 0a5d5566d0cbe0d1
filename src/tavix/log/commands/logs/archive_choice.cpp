// The archive a `logs` subcommand works on, as the user names it: none, an
// index of the `logs list` table, or a file.
#include "opened_archive.hpp"

namespace tavix::logs {

namespace {

// `with context as value: body(value)`, leaving the context on every way out.
template <typename Body> void with_context(nb::handle context, Body &&body) {
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

// `with_context` on an archive whose opening shows its progress: the line is
// off the screen before anything else is printed, also when opening fails
// or is interrupted.
template <typename Body>
void with_opened_archive(nb::handle archive, const OpeningProgress &progress, Body &&body) {
    try {
        with_context(archive, [&](nb::handle opened) {
            progress.erase();
            body(opened);
        });
    } catch (...) {
        progress.erase();
        throw;
    }
}

}  // namespace

nb::object choose_archive(nb::handle choice) {
    nb::object find = global("ListSubcommand").attr("find_all_archives");
    if (choice.is_none() || !truthy(choice))
        return find().attr("__getitem__")(0);
    nb::str text(choice);
    Py_ssize_t length = PyUnicode_GetLength(text.ptr());
    Py_UCS4 first = PyUnicode_ReadChar(text.ptr(), 0), last = PyUnicode_ReadChar(text.ptr(), length - 1);
    if (first == '-' && last >= '0' && last <= '9') {
        nb::object archives = find();
        size_t index = size_t(last - '0');
        if (index >= nb::len(archives))
            raise(PyExc_IndexError,
                  nb::str("archive index {} is out of range: {} archive(s) found "
                          "(see 'tavix logs list')")
                      .format(index, nb::len(archives)));
        return archives.attr("__getitem__")(index);
    }
    return state().path_class(choice);
}

void add_archive_argument(nb::handle parser) {
    parser.attr("add_argument")(
        "archive", nb::arg("metavar") = "[archive]", nb::arg("nargs") = "?",
        nb::arg("help") = "Archive zip file, or -INDEX of 'tavix logs list' (default: the newest).");
}

nb::object chosen_archive_path(nb::handle choice) {
    nb::object path = choose_archive(choice).attr("absolute")();
    if (!truthy(path.attr("exists")()))
        raise(PyExc_FileNotFoundError, nb::str(path));
    return path;
}

void with_archive_at(nb::handle path, const OpenedBody &body) {
    OpeningProgress progress;
    nb::object opening = global("Archive")(path);
    // An archive class of the user's without the attribute opens without it.
    if (progress.active() && nb::hasattr(opening, "progress"))
        opening.attr("progress") = progress.observer();
    with_opened_archive(opening, progress, [&](nb::handle archive) { body(archive, progress); });
}

void with_chosen_archive(nb::handle args, const std::function<void(nb::handle)> &body) {
    with_archive_at(chosen_archive_path(args.attr("archive")),
                    [&](nb::handle archive, const OpeningProgress &) { body(archive); });
}

}  // namespace tavix::logs
