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

// Raises PermissionError unless `path` resolves (symlinks included) to the
// directory `root` or something below it; FileNotFoundError if it is missing.
inline void ensure_inside(const std::string &root, const std::string &path) {
    // An open archive's extraction directory keeps its resolved path, and
    // pages are read many times per opening: remember the last one. Callers
    // hold the interpreter lock.
    static std::string last_root, last_resolved;
    char resolved[PATH_MAX];
    if (root != last_root) {
        if (!::realpath(root.c_str(), resolved))
            raise_errno(root);
        last_root = root;
        last_resolved = resolved;
    }
    const std::string &resolved_root = last_resolved;
    if (!::realpath(path.c_str(), resolved))
        raise_errno(path);
    size_t n = resolved_root.size(), length = std::strlen(resolved);
    bool inside = length >= n && resolved_root.compare(0, n, resolved, n) == 0 &&
                  (length == n || resolved[n] == '/' || resolved_root == "/");
    if (!inside) {
        PyErr_Format(PyExc_PermissionError, "'%s' lies outside the archive's extraction directory",
                     path.c_str());
        throw nb::python_error();
    }
}

}  // namespace tavix
