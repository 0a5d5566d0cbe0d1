// Where the bytes of a zip come from: a local file, read by position, or an
// object of the interpreter with .size and .read_at(offset, size) (a store's
// ranged reads). Readers of zips and of deflate streams see only this.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace tavix::run_search {

namespace nb = nanobind;

// A read that failed: `error_number` is the errno of a failed system call
// (what() is then the file's path), or 0 when the source held fewer bytes
// than it claimed, having changed or lied (what() says so).
struct SourceError : std::runtime_error {
    SourceError(const std::string &what, int error_number) : std::runtime_error(what), error_number(error_number) {}
    int error_number;
};

// Reads may come from several threads at once.
class ByteSource {
public:
    virtual ~ByteSource();
    virtual uint64_t size() const = 0;
    // Exactly `size` bytes at `offset` into `into`; SourceError otherwise (an
    // interpreter error of a Python source propagates as nb::python_error).
    virtual void read_at(uint64_t offset, void *into, size_t size) = 0;
};

// The file at `path`, opened now (SourceError with its errno when it cannot
// be); its size is taken once, at opening.
std::unique_ptr<ByteSource> file_source(const std::string &path);

// An object with .size (an int) and .read_at(offset, size) returning bytes (or
// any buffer). Holds a reference to it; each read takes the GIL for the call
// only, so it may be used with the GIL released. Call with the GIL held.
std::unique_ptr<ByteSource> python_source(nb::handle object);

// A path (str, bytes or os.PathLike) as a file source, anything else as a
// Python source. Call with the GIL held.
std::unique_ptr<ByteSource> source_of(nb::handle source);

}  // namespace tavix::run_search
