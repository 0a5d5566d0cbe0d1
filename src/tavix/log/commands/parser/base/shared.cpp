// Interpreter objects and small helpers shared by the module's classes.
#include <sys/random.h>

#include <cerrno>
#include <fstream>
#include <stdexcept>

#include "base.hpp"

namespace tavix::parser_base {

Shared &shared() {
    static Shared *state = new Shared();
    return *state;
}

nb::object get_item(nb::handle mapping, const char *key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *value = PyDict_GetItemString(mapping.ptr(), key);
        return value ? nb::borrow(value) : nb::none();
    }
    return mapping.attr("get")(key);
}

namespace {

// Random bytes in batches: one system call serves many execution ids.
class RandomPool {
public:
    void fill(unsigned char *into, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (used_ == sizeof(pool_))
                refill();
            into[i] = pool_[used_++];
        }
    }

private:
    void refill() {
        size_t done = 0;
        while (done < sizeof(pool_)) {
            ssize_t got = getrandom(pool_ + done, sizeof(pool_) - done, 0);
            if (got < 0) {
                if (errno == EINTR)
                    continue;
                std::ifstream urandom("/dev/urandom", std::ios::binary);
                if (!urandom.read(reinterpret_cast<char *>(pool_), sizeof(pool_)))
                    throw std::runtime_error("no source of random bytes");
                break;
            }
            done += size_t(got);
        }
        used_ = 0;
    }

    unsigned char pool_[4096];
    size_t used_ = sizeof(pool_);
};

}  // namespace

nb::object new_uuid4() {
    static RandomPool *pool = new RandomPool();
    unsigned char bytes[16];
    pool->fill(bytes, sizeof(bytes));
    bytes[6] = (bytes[6] & 0x0F) | 0x40;  // version 4
    bytes[8] = (bytes[8] & 0x3F) | 0x80;  // RFC 4122 variant
    char text[37];
    static const char digits[] = "0123456789abcdef";
    char *out = text;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            *out++ = '-';
        *out++ = digits[bytes[i] >> 4];
        *out++ = digits[bytes[i] & 0x0F];
    }
    return checked(PyUnicode_FromStringAndSize(text, 36));
}

nb::object decode(const char *data, size_t size) {
    return checked(PyUnicode_DecodeUTF8(data, Py_ssize_t(size), "replace"));
}

}  // namespace tavix::parser_base
