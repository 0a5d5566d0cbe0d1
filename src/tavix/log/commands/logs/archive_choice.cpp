// The archive a `logs` subcommand works on, as the user names it: none, an
// index of the `logs list` table, or a file.
#include "opened_archive.hpp"

namespace tavix::logs {

namespace {

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

void add_archive_argument(nb::handle parser) {
    parser.attr("add_argument")(
        "archive", nb::arg("metavar") = "[archive]", nb::arg("nargs") = "?",
        nb::arg("help") = "Archive zip file, or -INDEX of 'tavix logs list' (default: the newest).");
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
    with_archive_at(choose_archive(args.attr("archive")),
                    [&](nb::handle archive, const OpeningProgress &) { body(archive); });
}

}  // namespace tavix::logs
