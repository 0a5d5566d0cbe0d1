// Long work that holds the interpreter lock in a worker thread lets other
// threads (the viewer's event loop) have it every few milliseconds.
//
// Letting go of the lock and taking it straight back is not enough: a thread
// waiting for it is woken each time, finds it taken again before it runs,
// and never waits long enough to ask for it in earnest, so it starves. The
// lock is let go for a moment instead, once every couple of milliseconds.
#pragma once

#include <nanobind/nanobind.h>

#include <chrono>
#include <cstddef>
#include <thread>

namespace tavix {

class LockOffer {
public:
    // `every`: calls between looks at the clock (a call being a small piece of work).
    explicit LockOffer(size_t every = 64) : every_(every) {}

    // With the lock held, after each piece of work.
    void operator()() {
        if (++calls_ % every_ != 0)
            return;
        auto now = std::chrono::steady_clock::now();
        if (now - last_ < HOLD)
            return;
        {
            nb::gil_scoped_release released;
            std::this_thread::sleep_for(PAUSE);
        }
        last_ = std::chrono::steady_clock::now();
    }

private:
    static constexpr std::chrono::microseconds HOLD{2000}, PAUSE{50};
    size_t every_, calls_ = 0;
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

}  // namespace tavix
