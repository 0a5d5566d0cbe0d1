#include "reading.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <line_reader.hpp>
#include <py_helpers.hpp>

namespace tavix::archive {

namespace {

using lines::character_boundary;

// An open log or file of the archive. Only regular files are read: a
// directory or a device named by a request or a results file is refused with
// the interpreter's error before anything is read.
class File {
public:
    explicit File(const std::string &path) : path_(path), descriptor_(path.c_str()) {
        if (!descriptor_.ok()) {
            errno = descriptor_.error();
            raise_errno(path);
        }
        if (descriptor_.is_directory()) {
            errno = EISDIR;
            raise_errno(path);
        }
        if (!descriptor_.is_regular()) {
            PyErr_Format(PyExc_OSError, "'%s' is not a regular file", path.c_str());
            throw nb::python_error();
        }
    }

    const lines::FileDescriptor &descriptor() const { return descriptor_; }

    // Size when opened.
    int64_t size() const { return descriptor_.size(); }

    // Reads up to `size` bytes at `position`; fewer only at the end of the
    // file. -1 with errno set on an error; needs no interpreter lock.
    int64_t try_read_at(char *buffer, size_t size, int64_t position) const {
        return descriptor_.read_at(buffer, size, position);
    }

    // Raises the OSError of errno for this file: only with the interpreter
    // lock held, so never inside a released section.
    [[noreturn]] void fail() const { raise_errno(path_); }

private:
    std::string path_;
    lines::FileDescriptor descriptor_;
};

// The byte ranges of a section's lines from byte `start`, as a size hint of
// `hint` bytes reads them (hint <= 0: to the end of the file), through the
// line reader. It needs no interpreter lock; after a read error
// raise_if_failed() raises it.
class LineWalker {
public:
    LineWalker(const File &file, int64_t start, int64_t hint)
        : file_(file), reader_(file.descriptor(), lines::LineRange::size_hint(start, hint), block_for(hint)) {}

    bool next(int64_t &begin, int64_t &end) {
        lines::LinePiece piece;
        while (reader_.next(piece))
            if (piece.last) {
                begin = piece.line_start;
                end = piece.offset + int64_t(piece.text.size());
                return true;
            }
        return false;
    }

    void raise_if_failed() const {
        if (reader_.error()) {
            errno = reader_.error();
            file_.fail();
        }
    }

private:
    // Sized for the section when it is small (a device command's lines).
    static size_t block_for(int64_t hint) {
        size_t size = 256 * 1024;
        return hint > 0 && hint < (int64_t)size - 4096 ? (size_t)hint + 4096 : size;
    }

    const File &file_;
    lines::LineReader reader_;
};

struct LineSlice {
    nb::list lines;
    bool truncated = false;
};

// Lines whose text is read and decoded together: the file is read without the
// interpreter lock a chunk at a time, and the lines decoded with it.
constexpr int64_t kChunkBytes = 1 << 20;

// Lines [first, last) of the walk from log_start with the size hint
// log_size, decoded. With `limit` > 0 at most that many bytes of them are
// read: the line that crosses the limit is cut there (a character straddling
// the cut kept whole) and `truncated` tells that text was left out.
LineSlice read_slice(const File &file, int64_t log_start, int64_t log_size, Py_ssize_t first,
                     Py_ssize_t last, int64_t limit) {
    LineSlice slice;
    if (first >= last)
        return slice;
    LineWalker walker(file, log_start, log_size);
    int64_t budget = limit > 0 ? limit : INT64_MAX;
    Py_ssize_t index = 0;
    int64_t begin = 0, end = 0;
    bool exhausted = false;
    {
        nb::gil_scoped_release unlocked;
        while (index < first) {
            if (!walker.next(begin, end)) {
                exhausted = true;
                break;
            }
            ++index;
        }
    }
    walker.raise_if_failed();

    std::vector<int64_t> ends;
    std::string chunk;
    while (!exhausted && index < last && budget > 0) {
        int64_t chunk_begin = -1, cut = -1;
        int64_t got = 0;
        ends.clear();
        {
            nb::gil_scoped_release unlocked;
            while (index < last) {
                if (!walker.next(begin, end)) {
                    exhausted = true;
                    break;
                }
                ++index;
                if (chunk_begin < 0)
                    chunk_begin = begin;
                if (end - chunk_begin >= budget) {
                    if (end - chunk_begin > budget)
                        cut = end = chunk_begin + budget;
                    ends.push_back(end);
                    break;
                }
                ends.push_back(end);
                if (end - chunk_begin >= kChunkBytes)
                    break;
            }
            if (!ends.empty()) {
                // Three bytes more settle a character that straddles a cut.
                chunk.resize((size_t)(ends.back() - chunk_begin + (cut >= 0 ? 3 : 0)));
                got = file.try_read_at(chunk.data(), chunk.size(), chunk_begin);
            }
        }
        walker.raise_if_failed();
        if (ends.empty())
            break;
        if (got < 0)
            file.fail();
        if (cut >= 0) {
            size_t boundary = character_boundary(chunk.data(), (size_t)got, (size_t)(cut - chunk_begin));
            ends.back() = chunk_begin + (int64_t)boundary;
            slice.truncated = true;
        }
        // A file that shrank since the walk gives what is left of it.
        int64_t from = chunk_begin, available = chunk_begin + got;
        for (int64_t line_end : ends) {
            int64_t line_from = std::min(from, available), line_to = std::min(line_end, available);
            nb::str line = decode_text(chunk.data() + (line_from - chunk_begin), (size_t)(line_to - line_from));
            if (PyList_Append(slice.lines.ptr(), line.ptr()) != 0)
                throw nb::python_error();
            from = line_end;
        }
        budget -= ends.back() - chunk_begin;
        if (cut >= 0)
            return slice;
    }
    if (!exhausted && index < last && budget <= 0) {
        // The text ran up to the limit exactly: more lines mean it was cut.
        {
            nb::gil_scoped_release unlocked;
            slice.truncated = walker.next(begin, end);
        }
        walker.raise_if_failed();
    }
    return slice;
}

struct SliceBound {
    bool open = true;
    Py_ssize_t value = 0;
};

SliceBound slice_bound(nb::handle bound) {
    SliceBound result;
    if (bound.is_none())
        return result;
    result.open = false;
    result.value = PyNumber_AsSsize_t(bound.ptr(), nullptr);  // clips huge values
    if (result.value == -1 && PyErr_Occurred())
        throw nb::python_error();
    return result;
}

}  // namespace

nb::object read_page(const std::string &path, int64_t log_start, int64_t log_size, int64_t offset,
                     int64_t limit) {
    if (log_size > 0 && offset >= log_size)
        return nb::none();  // the file is not opened
    if (offset < 0 || log_start < 0)
        throw nb::value_error("log_start and offset must not be negative");
    File file(path);
    if (log_size <= 0)
        log_size = file.size();
    if (offset >= log_size)
        return nb::none();
    // A results file may give any start: one past the end of the log names
    // text that is not there.
    if (log_start > file.size()) {
        PyErr_Format(PyExc_ValueError, "the section starts at byte %lld, past the end of '%s' (%lld bytes)",
                     (long long)log_start, path.c_str(), (long long)file.size());
        throw nb::python_error();
    }
    int64_t remaining = log_size - offset;
    if (limit < 0 || limit > remaining)  // a page never runs past the section end
        limit = remaining;
    if (limit == 0)
        return nb::str("");
    // Past the end of the file there is nothing to read (and a position
    // beyond the largest file offset would not even be valid).
    if (offset > file.size() - log_start)
        return nb::str("");

    // The window holds up to three bytes on either side of the page, inside
    // the section, to settle characters that straddle its edges.
    int64_t before = std::min<int64_t>(3, offset);
    int64_t after = std::min<int64_t>(3, remaining - limit);
    std::string buffer((size_t)(before + limit + after), '\0');
    int64_t got;
    {
        nb::gil_scoped_release release;
        got = file.try_read_at(buffer.data(), buffer.size(), log_start + offset - before);
    }
    if (got < 0)
        file.fail();
    size_t begin = std::min((size_t)got, (size_t)before), end = std::min((size_t)got, (size_t)(before + limit));
    if (before > 0)
        begin = character_boundary(buffer.data(), (size_t)got, begin);
    end = std::max(begin, character_boundary(buffer.data(), (size_t)got, end));
    return decode_text(buffer.data() + begin, end - begin);
}

namespace {

LineSlice read_line_slice(const std::string &path, nb::handle start_line, nb::handle end_line,
                          int64_t log_start, int64_t log_size, int64_t limit) {
    if (log_start < 0)
        throw nb::value_error("log_start must not be negative");
    SliceBound start = slice_bound(start_line), stop = slice_bound(end_line);
    File file(path);

    Py_ssize_t first = start.open ? 0 : start.value;
    Py_ssize_t last = stop.open ? PY_SSIZE_T_MAX : stop.value;
    if ((!start.open && first < 0) || (!stop.open && last < 0)) {
        // Bounds counted from the end need the number of lines first.
        Py_ssize_t count = 0;
        LineWalker walker(file, log_start, log_size);
        {
            nb::gil_scoped_release unlocked;
            int64_t begin, end;
            while (walker.next(begin, end))
                ++count;
        }
        walker.raise_if_failed();
        PySlice_AdjustIndices(count, &first, &last, 1);
    }
    return read_slice(file, log_start, log_size, first, last, limit);
}

}  // namespace

nb::list read_line_range(const std::string &path, nb::handle start_line, nb::handle end_line,
                         int64_t log_start, int64_t log_size) {
    return read_line_slice(path, start_line, end_line, log_start, log_size, 0).lines;
}

nb::tuple read_line_range_capped(const std::string &path, int64_t limit, nb::handle start_line,
                                 nb::handle end_line, int64_t log_start, int64_t log_size) {
    if (limit <= 0)
        throw nb::value_error("limit must be greater than 0");
    LineSlice slice = read_line_slice(path, start_line, end_line, log_start, log_size, limit);
    return nb::make_tuple(slice.lines, nb::bool_(slice.truncated));
}

}  // namespace tavix::archive
