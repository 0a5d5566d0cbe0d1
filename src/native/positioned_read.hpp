// Reading a file at a position without moving its offset, so threads can
// share one descriptor.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace tavix {

// Reads up to `n` bytes of `fd` at `position` into `into`, through
// interrupted and short reads: fewer only at the end of the file. The count
// read, or -1 with errno set. Needs no interpreter lock.
inline int64_t read_fully_at(int fd, void *into, size_t n, int64_t position) {
    auto *out = static_cast<unsigned char *>(into);
    size_t done = 0;
    while (done < n) {
        ssize_t got = ::pread(fd, out + done, n - done, position + int64_t(done));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (got == 0)
            break;
        done += size_t(got);
    }
    return int64_t(done);
}

}  // namespace tavix
