// Extraction of a run archive into its directory, member by member and block
// by block: an interrupt is answered between two blocks, and an observer is
// told how many bytes are written.
#include <cerrno>
#include <string>
#include <vector>

#include "archive.hpp"

namespace tavix::archive {

namespace {

// Extraction refuses an archive that would fill the disk beyond this share
// of the space that is free when it is opened.
constexpr double kFreeSpaceShare = 0.9;

// Bytes copied between two looks at pending signals and the observer: a
// few milliseconds of inflating and writing.
constexpr Py_ssize_t kBlockSize = 1 << 20;

// The components of a member name, without the empty and "." ones, which
// the zip module drops as well.
std::vector<std::string> name_parts(const std::string &name) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos)
            end = name.size();
        std::string part = name.substr(start, end - start);
        if (!part.empty() && part != ".")
            parts.push_back(part);
        start = end + 1;
    }
    return parts;
}

// A member name that is absolute or climbs with ".." would land outside the
// extraction directory.
bool unsafe_member_name(const std::string &name) {
    if (name.empty() || name[0] == '/' || name[0] == '\\')
        return true;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("/\\", start);
        if (end == std::string::npos)
            end = name.size();
        if (name.compare(start, end - start, "..") == 0 && end - start == 2)
            return true;
        start = end + 1;
    }
    return false;
}

class Extraction {
public:
    Extraction(nb::handle dir, nb::handle progress, unsigned long long total)
        : dir_(dir), progress_(progress), total_(nb::int_(total)) {}

    void member(nb::handle zip, nb::handle info) {
        Refs &r = refs();
        nb::object target = nb::borrow(dir_);
        for (const std::string &part : name_parts(nb::cast<std::string>(info.attr("filename"))))
            target = r.path_join(target, nb::str(part.c_str(), part.size()));
        bool is_dir = truthy(info.attr("is_dir")());
        r.makedirs(is_dir ? target : r.path_dirname(target), nb::arg("exist_ok") = true);
        if (!is_dir)
            copy(zip.attr("open")(info), target);
    }

    void report() {
        handle_pending_signals();
        if (!progress_.is_none())
            progress_("extracting", nb::int_(written_), total_);
    }

private:
    void copy(nb::object source, nb::handle target) {
        nb::object out;
        try {
            out = refs().io_open(target, "wb");
            for (;;) {
                nb::object block = source.attr("read")(kBlockSize);
                Py_ssize_t size = PyBytes_Size(block.ptr());
                if (size < 0)
                    throw nb::python_error();
                if (size == 0)
                    break;
                out.attr("write")(block);
                written_ += (unsigned long long)size;
                report();
            }
        } catch (...) {
            close_after_failure(out);
            close_after_failure(source);
            throw;
        }
        out.attr("close")();
        source.attr("close")();
    }

    nb::handle dir_, progress_;
    nb::object total_;
    unsigned long long written_ = 0;
};

}  // namespace

void extract(nb::handle file, nb::handle dir, nb::handle progress) {
    Refs &r = refs();
    nb::object zip = r.zip_file(as_text(file));
    try {
        nb::object infos = zip.attr("infolist")();
        unsigned long long total = 0;
        for (nb::handle info : infos) {
            nb::object name = info.attr("filename");
            if (unsafe_member_name(nb::cast<std::string>(name)))
                throw nb::value_error(
                    nb::str("refusing to extract {!r}: the name leads outside the extraction directory")
                        .format(name)
                        .c_str());
            total += nb::cast<unsigned long long>(info.attr("file_size"));
        }
        // Looked up per opening: the free space is that of the moment.
        nb::object free_space = nb::module_::import_("shutil").attr("disk_usage")(dir).attr("free");
        if ((double)total > (double)nb::cast<unsigned long long>(free_space) * kFreeSpaceShare) {
            nb::str message = nb::str("refusing to extract {}: it expands to {} bytes but only {} bytes are "
                                      "free in {}")
                                  .format(file, total, free_space, dir);
            PyErr_SetObject(PyExc_OSError, nb::make_tuple(ENOSPC, message).ptr());
            throw nb::python_error();
        }
        Extraction extraction(dir, progress, total);
        extraction.report();
        for (nb::handle info : infos)
            extraction.member(zip, info);
    } catch (...) {
        zip.attr("close")();
        throw;
    }
    zip.attr("close")();
}

}  // namespace tavix::archive
