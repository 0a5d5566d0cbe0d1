// Opening the archive a command works on: entering it as a context, with
// the opening's progress shown while standard error is a terminal.
#pragma once

#include <functional>

#include "common.hpp"

namespace tavix::logs {

// The positional [archive] argument of the subcommands that read one.
void add_archive_argument(nb::handle parser);

// Opens the archive at `path` for `body`, its progress shown meanwhile and
// erased before `body` runs.
using OpenedBody = std::function<void(nb::handle archive, const OpeningProgress &progress)>;
void with_archive_at(nb::handle path, const OpenedBody &body);

// The archive chosen by args.archive (choose_archive), opened for `body`:
// its progress shown and erased before `body` prints anything.
void with_chosen_archive(nb::handle args, const std::function<void(nb::handle)> &body);

}  // namespace tavix::logs
