#include "byte_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <path_guard.hpp>
#include <positioned_read.hpp>

#include <cerrno>
#include <cstring>

namespace tavix::run_search {

ByteSource::~ByteSource() = default;

namespace {

std::string short_read(const std::string &source, uint64_t offset, size_t wanted, size_t got) {
    return source + " gave " + std::to_string(got) + " of the " + std::to_string(wanted) + " bytes at " +
           std::to_string(offset) + ": it is shorter than it said";
}

class FileSource final : public ByteSource {
public:
    explicit FileSource(const std::string &path) : path_(path) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0)
            throw SourceError(path, errno);
        struct stat info;
        if (::fstat(fd_, &info) != 0) {
            int error = errno;
            ::close(fd_);
            throw SourceError(path, error);
        }
        if (!S_ISREG(info.st_mode)) {
            ::close(fd_);
            throw SourceError(path, S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
        }
        size_ = uint64_t(info.st_size);
    }
    ~FileSource() override { ::close(fd_); }
    FileSource(const FileSource &) = delete;
    FileSource &operator=(const FileSource &) = delete;

    uint64_t size() const override { return size_; }

    void read_at(uint64_t offset, void *into, size_t size) override {
        if (offset > size_ || size > size_ - offset)
            throw SourceError(short_read(path_, offset, size, 0), 0);
        int64_t got = read_fully_at(fd_, into, size, int64_t(offset));
        if (got < 0)
            throw SourceError(path_, errno);
        if (size_t(got) != size)
            throw SourceError(short_read(path_, offset, size, size_t(got)), 0);
    }

private:
    std::string path_;
    int fd_ = -1;
    uint64_t size_ = 0;
};

class PythonSource final : public ByteSource {
public:
    explicit PythonSource(nb::handle object) : object_(nb::borrow(object)) {
        nb::object size = object_.attr("size");
        long long value = PyLong_AsLongLong(size.ptr());
        if (value == -1 && PyErr_Occurred())
            throw nb::python_error();
        if (value < 0)
            throw nb::value_error("a source's size must not be negative");
        size_ = uint64_t(value);
        read_at_ = object_.attr("read_at");
    }
    ~PythonSource() override {
        nb::gil_scoped_acquire gil;
        read_at_.reset();
        object_.reset();
    }

    uint64_t size() const override { return size_; }

    void read_at(uint64_t offset, void *into, size_t size) override {
        if (offset > size_ || size > size_ - offset)
            throw SourceError(short_read("the source", offset, size, 0), 0);
        nb::gil_scoped_acquire gil;
        nb::object data = read_at_(offset, size);
        Py_buffer view;
        if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0)
            throw nb::python_error();
        size_t got = size_t(view.len);
        if (got == size)
            std::memcpy(into, view.buf, size);
        PyBuffer_Release(&view);
        if (got != size)
            throw SourceError("read_at(" + std::to_string(offset) + ", " + std::to_string(size) + ") gave " +
                                  std::to_string(got) + " bytes",
                              0);
    }

private:
    nb::object object_, read_at_;
    uint64_t size_ = 0;
};

}  // namespace

std::unique_ptr<ByteSource> file_source(const std::string &path) { return std::make_unique<FileSource>(path); }

std::unique_ptr<ByteSource> python_source(nb::handle object) { return std::make_unique<PythonSource>(object); }

std::unique_ptr<ByteSource> source_of(nb::handle source) {
    if (PyUnicode_Check(source.ptr()) || PyBytes_Check(source.ptr()) ||
        PyObject_HasAttrString(source.ptr(), "__fspath__")) {
        return file_source(fs_path(source));
    }
    return python_source(source);
}

}  // namespace tavix::run_search
