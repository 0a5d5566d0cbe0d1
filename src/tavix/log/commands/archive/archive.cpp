#include <class_builder.hpp>

#include <pthread.h>

#include <csignal>
#include <cstdint>
#include <string>

#include "archive.hpp"
#include "reading.hpp"

namespace tavix::archive {

namespace {

nb::object none() { return nb::none(); }

nb::object open_dir(nb::handle self) {
    nb::object dir = self.attr("dir");
    if (dir.is_none())
        throw nb::value_error("the archive is not open: enter it first");
    return as_text(dir);
}

void init(nb::handle self, nb::handle archive, nb::handle result_parser, nb::handle progress, nb::handle directory,
          nb::handle id_seed) {
    self.attr("file") = archive;
    self.attr("dir") = none();
    self.attr("_tmpdir") = none();
    self.attr("results") = none();
    self.attr("_result_parser") = result_parser;
    self.attr("progress") = progress;
    self.attr("_directory") = directory;
    self.attr("_id_seed") = id_seed;
}

// Keeps SIGINT and SIGTERM pending in this thread while it lives.
class SignalsHeld {
public:
    SignalsHeld() {
        sigset_t held;
        sigemptyset(&held);
        sigaddset(&held, SIGINT);
        sigaddset(&held, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &held, &saved_);
    }
    ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

private:
    sigset_t saved_;
};

nb::object make_temporary_directory(nb::handle directory) {
    Refs &r = refs();
    // An interrupt after the directory is made but before its owner is
    // returned would leave it behind: it is answered once there is an owner.
    SignalsHeld held;
    return r.temporary_directory(nb::arg("prefix") = r.module.attr("TEMP_DIR_PREFIX"), nb::arg("dir") = directory);
}

nb::object enter(nb::handle self) {
    Refs &r = refs();
    nb::object tmpdir = make_temporary_directory(self.attr("_directory"));
    self.attr("_tmpdir") = tmpdir;
    try {
        nb::object dir = r.path_cls(tmpdir.attr("name"));
        self.attr("dir") = dir;
        extract(self.attr("file"), as_text(dir), nb::getattr(self, "progress", none()));
        nb::object parser = self.attr("_result_parser"), id_seed = self.attr("_id_seed");
        // Parsers that take no seed keep working when none is given.
        self.attr("results") = id_seed.is_none() ? parser(r.weak_proxy(self))
                                                 : parser(r.weak_proxy(self), nb::arg("id_seed") = id_seed);
    } catch (...) {
        // An archive that failed to open leaves no directory behind.
        self.attr("dir") = none();
        self.attr("results") = none();
        try {
            tmpdir.attr("cleanup")();
        } catch (nb::python_error &) {
            // The error that stopped the opening is the one worth reporting.
        }
        throw;
    }
    return nb::borrow(self);
}

nb::object exit(nb::handle self, nb::handle, nb::handle, nb::handle) {
    nb::object tmpdir = self.attr("_tmpdir");
    if (!tmpdir.is_none())
        tmpdir.attr("cleanup")();
    self.attr("dir") = none();
    self.attr("results") = none();
    return none();
}

nb::object listdir(nb::handle self, nb::handle folder, nb::handle depth, nb::handle parent_id) {
    return make_listing(open_dir(self), folder, depth, parent_id);
}

nb::dict read_file(nb::handle self, nb::handle filename, int64_t limit) {
    Refs &r = refs();
    nb::str full_path = join_inside(open_dir(self), filename);
    nb::object filetype = r.guess_type(full_path, nb::arg("strict") = true)[0];
    nb::dict record;
    if (filetype.is_none() || nb::cast<bool>(filetype.attr("__contains__")("text")) ||
        nb::cast<bool>(filetype.attr("__contains__")("xml"))) {
        std::string path = fs_path(full_path);
        record["file_name"] = filename;
        nb::object truncated = nb::bool_(false);
        if (limit > 0) {
            nb::tuple capped = read_line_range_capped(path, limit, nb::none(), nb::none(), 0, -1);
            record["file_content"] = capped[0];
            truncated = capped[1];
        } else {
            record["file_content"] = read_line_range(path, nb::none(), nb::none(), 0, -1);
        }
        record["content_type"] = truthy(filetype) ? filetype : nb::object(nb::str("text/plain"));
        if (truthy(truncated)) {
            record["truncated"] = true;
            record["file_size"] = r.stat(full_path).attr("st_size");
        }
    } else {
        record["filename"] = filename;
        record["file_content"] = nb::str("Could not read file.");
    }
    return record;
}

nb::object read_bytes(nb::handle self, nb::handle logfile, int64_t log_start, int64_t log_size,
                      int64_t offset, int64_t limit) {
    return read_page(checked_log_path(self, logfile), log_start, log_size, offset, limit);
}

nb::object read_lines(nb::handle self, nb::handle logfile, nb::handle start_line, nb::handle end_line,
                      int64_t log_start, int64_t log_size) {
    return read_line_range(checked_log_path(self, logfile), start_line, end_line, log_start, log_size);
}

nb::tuple read_lines_capped(nb::handle self, nb::handle logfile, int64_t limit, nb::handle start_line,
                            nb::handle end_line, int64_t log_start, int64_t log_size) {
    return read_line_range_capped(checked_log_path(self, logfile), limit, start_line, end_line, log_start,
                                  log_size);
}

}  // namespace

// Logs named by an open archive's results must be inside it: their names
// come from the archive itself.
std::string checked_log_path(nb::handle self, nb::handle logfile) {
    std::string path = fs_path(logfile);
    nb::object dir = self.attr("dir");
    if (!dir.is_none())
        ensure_inside(fs_path(dir), path);
    return path;
}

nb::str join_inside(nb::handle root, nb::handle name) {
    Refs &r = refs();
    nb::str full = as_text(r.path_join(root, name));
    // A missing file is the caller's own error to raise.
    ensure_inside(fs_path(root), fs_path(full), false);
    return full;
}

void define_archive(nb::module_ &m) {
    nb::object parser = nb::module_::import_("tavix.log.commands.parser").attr("LedraXMLResultParser");
    ClassBuilder archive(m, "Archive", {nb::handle((PyObject *)&PyBaseObject_Type)});
    archive.doc("A run archive (zip) opened into a temporary directory.\n\n"
             "Entering extracts the archive and parses its results; leaving deletes\n"
             "the directory. Reads go through listdir, read_file, read_bytes,\n"
             "read_lines, search and count_matches.\n\n"
             "`progress`, None by default, may be a callable told how an opening\n"
             "goes, as progress(stage, done, total): stage \"extracting\" with the\n"
             "bytes written and the bytes to write; the stock results parser adds\n"
             "\"reading\" with the bytes of the results file read and its size, and\n"
             "\"parsing\" with the sections read so far and None.\n\n"
             "`directory`, None by default, is where the temporary directory is\n"
             "made (None: the system's temporary directory). `id_seed`, unless None,\n"
             "is given to the results parser as its keyword id_seed: the stock\n"
             "parser then derives the ids of sections, steps and device commands\n"
             "from it, the same at every opening.")
        .method("__init__", &init, nb::arg("archive"), nb::arg("result_parser") = parser,
                nb::arg("progress").none() = nb::none(), nb::kw_only(), nb::arg("directory").none() = nb::none(),
                nb::arg("id_seed").none() = nb::none())
        .method("__enter__", &enter)
        .method("__exit__", &exit, nb::arg("exc_type").none(), nb::arg("exc_value").none(),
                nb::arg("traceback").none())
        .method("listdir", &listdir, nb::arg("folder").none() = nb::none(), nb::arg("_depth") = 0,
                nb::arg("_parent_id") = 0,
                "Lists the archive's files and directories lazily, depth-first, siblings\n"
                "in case-insensitive name order; cached bytecode is left out.")
        .method("read_file", &read_file, nb::arg("filename"), nb::arg("limit") = 0,
                "Reads a whole text file of the archive as a list of lines with its\n"
                "guessed content type; other types are refused.\n\n"
                "With `limit` > 0 at most that many bytes are read: a longer file's\n"
                "record holds its first `limit` bytes of lines (the last one cut), and\n"
                "\"truncated\": True and \"file_size\" (its size in bytes) follow.")
        .method("read_bytes", &read_bytes, nb::arg("logfile"), nb::arg("log_start") = 0,
                nb::arg("log_size") = -1, nb::arg("offset") = 0, nb::arg("limit") = 0,
                "Reads one page of a log section: at most `limit` bytes from\n"
                "log_start + offset, never past the section end; None past the end.")
        .method("read_lines", &read_lines, nb::arg("logfile"), nb::arg("start_line").none() = nb::none(),
                nb::arg("end_line").none() = nb::none(), nb::arg("log_start") = 0, nb::arg("log_size") = -1,
                "Reads the lines of a log section and returns the slice\n"
                "[start_line:end_line] of them.")
        .method("read_lines_capped", &read_lines_capped, nb::arg("logfile"), nb::arg("limit"),
                nb::arg("start_line").none() = nb::none(), nb::arg("end_line").none() = nb::none(),
                nb::arg("log_start") = 0, nb::arg("log_size") = -1,
                "The lines read_lines gives, of which at most `limit` bytes are read:\n"
                "(lines, truncated). The line crossing the limit is cut there, and\n"
                "`truncated` is True when text of the slice was left out.");
    add_search_methods(archive);
    add_record_line_methods(archive);
    archive.build();
}

}  // namespace tavix::archive
