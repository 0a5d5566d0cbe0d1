// Keeps reads of an extracted run archive inside its extraction directory:
// names of logs and files come from the archive itself or from a browser.
#pragma once

#include <nanobind/nanobind.h>

#include <limits.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace tavix {

namespace nb = nanobind;

// The file-system path of `path` (str or path-like) as bytes for the OS.
inline std::string fs_path(nb::handle path) {
    PyObject *encoded = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &encoded))
        throw nb::python_error();
    nb::bytes bytes = nb::steal<nb::bytes>(encoded);
    return std::string(bytes.c_str(), bytes.size());
}

// Raises the OSError of the current errno for `path`.
[[noreturn]] inline void raise_errno(const std::string &path) {
    errno = errno ? errno : EIO;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw nb::python_error();
}

// `path` with its symbolic links resolved, into `resolved`; false with errno
// set. With `must_exist` false a missing tail is kept as written, the way
// the interpreter's os.path.realpath resolves it.
inline bool resolve_path(const std::string &path, bool must_exist, std::string &resolved) {
    char buffer[PATH_MAX];
    if (::realpath(path.c_str(), buffer)) {
        resolved = buffer;
        return true;
    }
    if (must_exist || (errno != ENOENT && errno != ENOTDIR))
        return false;
    size_t slash = path.find_last_of('/');
    std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string tail = slash == std::string::npos ? path : path.substr(slash + 1);
    if (parent == path || !resolve_path(parent, false, resolved))
        return false;
    if (tail == "..") {
        size_t up = resolved.find_last_of('/');
        resolved.resize(up == 0 ? 1 : up);
    } else if (!tail.empty() && tail != ".") {
        if (resolved.back() != '/')
            resolved += '/';
        resolved += tail;
    }
    return true;
}

// Raises PermissionError unless `path` resolves (symlinks included) to the
// directory `root` or something below it. With `must_exist` a missing path
// raises FileNotFoundError; without, its missing tail is judged as written.
inline void ensure_inside(const std::string &root, const std::string &path, bool must_exist = true) {
    // An open archive's extraction directory keeps its resolved path, and
    // pages are read many times per opening: remember the last one. Callers
    // hold the interpreter lock.
    static std::string last_root, last_resolved;
    if (root != last_root) {
        std::string resolved;
        if (!resolve_path(root, true, resolved))
            raise_errno(root);
        last_root = root;
        last_resolved = resolved;
    }
    const std::string &resolved_root = last_resolved;
    std::string resolved;
    if (!resolve_path(path, must_exist, resolved))
        raise_errno(path);
    size_t n = resolved_root.size();
    bool inside = resolved.compare(0, n, resolved_root) == 0 &&
                  (resolved.size() == n || resolved[n] == '/' || resolved_root == "/");
    if (!inside) {
        PyErr_Format(PyExc_PermissionError, "'%s' lies outside the archive's extraction directory",
                     path.c_str());
        throw nb::python_error();
    }
}

}  // namespace tavix
