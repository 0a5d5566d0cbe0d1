// The memory the server's diffs may take, shared by all of them: two at once
// get a diff's whole budget, more at once get what is left, down to a floor,
// so that many clients asking together get approximate answers sooner rather
// than the machine's memory.
#pragma once

#include <cstddef>

namespace tavix::server {

class DiffMemory {
public:
    static constexpr size_t per_diff = size_t(256) << 20;
    static constexpr size_t shared = 2 * per_diff;
    static constexpr size_t floor = size_t(16) << 20;

    DiffMemory();
    ~DiffMemory();
    DiffMemory(const DiffMemory &) = delete;
    DiffMemory &operator=(const DiffMemory &) = delete;

    // The bytes this diff may take.
    size_t bytes() const { return granted_; }

private:
    size_t granted_;
};

}  // namespace tavix::server
