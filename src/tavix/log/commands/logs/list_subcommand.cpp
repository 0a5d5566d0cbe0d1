#include <algorithm>
#include <utility>
#include <vector>

#include "class_builder.hpp"
#include "common.hpp"

namespace tavix::logs {

namespace {

constexpr int LIST_SIZE = 10;

// Every "*.zip" below the shared and the user archive directory, newest
// first; ties keep the search order (shared before user).
nb::list find_all_archives() {
    State &s = state();
    nb::object shared = s.path_class(s.sys.attr("prefix")) / nb::str("users") /
                        s.getuser() / nb::str("archive");
    nb::object user = s.path_class("~/.tavix/archive").attr("expanduser")();

    std::vector<std::pair<double, nb::object>> found;
    for (nb::handle directory : {shared, user}) {
        if (!truthy(directory.attr("exists")()))
            continue;
        for (nb::handle path : directory.attr("glob")("**/*.zip"))
            found.emplace_back(nb::cast<double>(path.attr("stat")().attr("st_mtime")),
                               nb::borrow(path));
    }
    if (found.empty())
        raise(PyExc_Exception,
              nb::str("No archive file was found under the following directories:\n{}\n{}")
                  .format(nb::str(shared), nb::str(user)));

    std::stable_sort(found.begin(), found.end(),
                     [](const auto &a, const auto &b) { return a.first > b.first; });
    nb::list archives;
    for (auto &entry : found)
        archives.append(entry.second);
    return archives;
}

void list_run(nb::handle self, nb::handle args) {
    State &s = state();
    nb::list header;
    for (const char *title : {"Index", "Date", "Archive"})
        header.append(title);

    nb::list archives = find_all_archives();
    nb::list rows;
    size_t count = std::min<size_t>(nb::len(archives), LIST_SIZE);
    for (size_t i = 0; i < count; ++i) {
        nb::object path = archives[i];
        nb::object local = s.time.attr("localtime")(path.attr("stat")().attr("st_mtime"));
        nb::list row;
        row.append(nb::str("  {}.").format(i));
        row.append(s.time.attr("strftime")("%a %b %d %X", local));
        row.append(nb::str(path));
        rows.append(row);
    }
    for (nb::handle line : global("format_table")(rows, header))
        s.logger.attr("info")(line);
    s.logger.attr("info")("Use 'tavix logs view -<index>' to open file relative to their index.");
    s.logger.attr("info")("Eg, to open the log in table row index 8: 'tavix logs view -8'");
}

}  // namespace

nb::object define_list_subcommand(nb::module_ &m, nb::handle subcommand_base) {
    return ClassBuilder(m, "ListSubcommand", {subcommand_base})
        .attr("name", nb::str("list"))
        .attr("help", nb::str("list all log archives"))
        .attr("description",
              nb::str("\nlist all archives stored in standard known archive locations.\n    "))
        .static_method("find_all_archives", &find_all_archives,
                       "All archives of the shared and the user archive directory, newest first.")
        .method("run", &list_run, nb::arg("args").none())
        .build();
}

}  // namespace tavix::logs
