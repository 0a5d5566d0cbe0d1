#include "reading.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace tavix::archive {

namespace {

class File {
public:
    explicit File(const std::string &path) : path_(path) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0)
            raise_errno(path);
    }
    ~File() { ::close(fd_); }
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    // Reads up to `size` bytes at `position`; fewer only at the end of the file.
    size_t read_at(char *buffer, size_t size, int64_t position) const {
        size_t done = 0;
        while (done < size) {
            ssize_t n = ::pread(fd_, buffer + done, size - done, position + (int64_t)done);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                raise_errno(path_);
            }
            if (n == 0)
                break;
            done += (size_t)n;
        }
        return done;
    }

private:
    std::string path_;
    int fd_;
};

inline bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

inline size_t sequence_length(unsigned char c) {
    if (c >= 0xC2 && c <= 0xDF) return 2;
    if (c >= 0xE0 && c <= 0xEF) return 3;
    if (c >= 0xF0 && c <= 0xF4) return 4;
    return 1;
}

// A page boundary at `pos` of buf[0:size] moved past the character that
// starts before it and ends after it, when that character is complete in the
// buffer. Both neighbouring pages compute the same boundary.
size_t character_boundary(const char *buf, size_t size, size_t pos) {
    size_t lowest = pos >= 3 ? pos - 3 : 0;
    for (size_t j = pos; j > lowest;) {
        --j;
        unsigned char c = (unsigned char)buf[j];
        if (is_continuation(c))
            continue;
        size_t length = sequence_length(c);
        if (length == 1 || j + length <= pos || j + length > size)
            return pos;
        for (size_t k = j + 1; k < j + length; ++k)
            if (!is_continuation((unsigned char)buf[k]))
                return pos;
        return j + length;
    }
    return pos;
}

nb::str decode(const char *data, size_t size) {
    PyObject *text = PyUnicode_DecodeUTF8(data, (Py_ssize_t)size, "replace");
    if (!text)
        throw nb::python_error();
    return nb::steal<nb::str>(text);
}

// Calls line(data, size) for each line ("\n" kept) from `start`, stopping
// after the line that takes the byte total past `hint` (hint > 0), or when
// line() returns false.
template <typename Line>
void for_each_line(const File &file, int64_t start, int64_t hint, Line &&line) {
    // Sized for the section when it is small (a device command's lines).
    size_t size = 256 * 1024;
    if (hint > 0 && hint < (int64_t)size - 4096)
        size = (size_t)hint + 4096;
    std::vector<char> buffer(size);
    std::string partial;
    int64_t position = start, total = 0;
    for (;;) {
        size_t n = file.read_at(buffer.data(), buffer.size(), position);
        if (n == 0)
            break;
        position += (int64_t)n;
        const char *p = buffer.data(), *end = p + n;
        while (p < end) {
            const char *newline = (const char *)std::memchr(p, '\n', (size_t)(end - p));
            if (!newline) {
                partial.append(p, (size_t)(end - p));
                break;
            }
            size_t length = (size_t)(newline + 1 - p);
            bool go;
            if (partial.empty()) {
                go = line(p, length);
                total += (int64_t)length;
            } else {
                partial.append(p, length);
                go = line(partial.data(), partial.size());
                total += (int64_t)partial.size();
                partial.clear();
            }
            p = newline + 1;
            if (!go || (hint > 0 && total > hint))
                return;
        }
    }
    if (!partial.empty())
        line(partial.data(), partial.size());
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
    if (log_size <= 0) {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0)
            raise_errno(path);
        log_size = (int64_t)st.st_size;
    }
    if (offset >= log_size)
        return nb::none();
    if (offset < 0 || log_start < 0)
        throw nb::value_error("log_start and offset must not be negative");
    File file(path);
    int64_t remaining = log_size - offset;
    if (limit < 0 || limit > remaining)  // a page never runs past the section end
        limit = remaining;
    if (limit == 0)
        return nb::str("");

    // The window holds up to three bytes on either side of the page, inside
    // the section, to settle characters that straddle its edges.
    int64_t before = std::min<int64_t>(3, offset);
    int64_t after = std::min<int64_t>(3, remaining - limit);
    std::string buffer((size_t)(before + limit + after), '\0');
    size_t got;
    {
        nb::gil_scoped_release release;
        got = file.read_at(buffer.data(), buffer.size(), log_start + offset - before);
    }
    size_t begin = std::min(got, (size_t)before), end = std::min(got, (size_t)(before + limit));
    if (before > 0)
        begin = character_boundary(buffer.data(), got, begin);
    end = std::max(begin, character_boundary(buffer.data(), got, end));
    return decode(buffer.data() + begin, end - begin);
}

nb::list read_line_range(const std::string &path, nb::handle start_line, nb::handle end_line,
                         int64_t log_start, int64_t log_size) {
    if (log_start < 0)
        throw nb::value_error("log_start must not be negative");
    SliceBound start = slice_bound(start_line), stop = slice_bound(end_line);
    File file(path);

    Py_ssize_t first = start.open ? 0 : start.value;
    Py_ssize_t last = stop.open ? PY_SSIZE_T_MAX : stop.value;
    if ((!start.open && first < 0) || (!stop.open && last < 0)) {
        // Bounds counted from the end need the number of lines first.
        Py_ssize_t count = 0;
        for_each_line(file, log_start, log_size, [&](const char *, size_t) {
            ++count;
            return true;
        });
        PySlice_AdjustIndices(count, &first, &last, 1);
    }

    nb::list lines;
    if (first >= last)
        return lines;
    Py_ssize_t index = 0;
    for_each_line(file, log_start, log_size, [&](const char *data, size_t size) {
        if (index >= first && PyList_Append(lines.ptr(), decode(data, size).ptr()) != 0)
            throw nb::python_error();
        return ++index < last;
    });
    return lines;
}

}  // namespace tavix::archive
