#include "diff_memory.hpp"

#include <algorithm>
#include <mutex>

namespace tavix::server {

namespace {

std::mutex granting;
size_t in_use = 0;

}  // namespace

DiffMemory::DiffMemory() {
    std::lock_guard<std::mutex> hold(granting);
    size_t left = in_use < shared ? shared - in_use : 0;
    granted_ = std::clamp(left, floor, per_diff);
    in_use += granted_;
}

DiffMemory::~DiffMemory() {
    std::lock_guard<std::mutex> hold(granting);
    in_use -= granted_;
}

}  // namespace tavix::server
