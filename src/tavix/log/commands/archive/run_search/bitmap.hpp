// Posting lists are Roaring bitmaps (the vendored CRoaring); this owns one.
#pragma once

#include <roaring.h>

#include <new>
#include <utility>

namespace tavix::run_search {

class Bitmap {
public:
    Bitmap() : bitmap_(roaring_bitmap_create()) {
        if (!bitmap_)
            throw std::bad_alloc();
    }
    explicit Bitmap(roaring_bitmap_t *owned) : bitmap_(owned) {
        if (!bitmap_)
            throw std::bad_alloc();
    }
    Bitmap(Bitmap &&other) noexcept : bitmap_(std::exchange(other.bitmap_, nullptr)) {}
    Bitmap &operator=(Bitmap &&other) noexcept {
        std::swap(bitmap_, other.bitmap_);
        return *this;
    }
    Bitmap(const Bitmap &) = delete;
    Bitmap &operator=(const Bitmap &) = delete;
    ~Bitmap() {
        if (bitmap_)
            roaring_bitmap_free(bitmap_);
    }

    // Every value of [0, count).
    static Bitmap range(uint32_t count) {
        Bitmap all;
        roaring_bitmap_add_range(all.get(), 0, count);
        return all;
    }

    roaring_bitmap_t *get() const { return bitmap_; }
    uint64_t cardinality() const { return roaring_bitmap_get_cardinality(bitmap_); }

private:
    roaring_bitmap_t *bitmap_;
};

}  // namespace tavix::run_search
