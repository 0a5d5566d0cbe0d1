// The one owner of execution-scan results: the table behind `child_execute`.
//
// Least recently used sections go first, once more than 128 are kept or once
// the entries together (their executions and the filter results tables keep)
// outgrow a budget in bytes. It keeps a strong reference to each section
// it holds, as the interpreter's lru_cache did, and answers `cache_info()` and
// `cache_clear()` as that did.
#include "base.hpp"
#include "class_builder.hpp"
#include "execution_table.hpp"

#include <list>
#include <unordered_map>

namespace tavix::parser_base {

namespace {

constexpr size_t MAX_SECTIONS = 128;
constexpr size_t DEFAULT_BUDGET = size_t(512) << 20;
struct Entry {
    // An ExecutionTable (the stock pieces) or a dictionary of executions.
    // Filter results are kept by tables alone: the objects of a dictionary
    // are all handed out, and judged afresh at every page.
    nb::object section, result;
    size_t scan_bytes;  // of a dictionary
    size_t bytes() const { return is_table(result) ? table_of(result).bytes() : scan_bytes; }
};

class ScanCache {
public:
    // The section's executions by id (made from its table once).
    nb::object call(nb::handle section) {
        nb::object result = scanned(section);
        if (!is_table(result))
            return result;
        nb::object executions = table_of(result).all_executes();
        trim();
        return executions;
    }

    // The kept scan of `section`, scanned now when it is not kept.
    nb::object scanned(nb::handle section) {
        if (nb::object found = touch(section); found.is_valid()) {
            ++hits_;
            return found;
        }
        ++misses_;
        size_t bytes = 0;
        nb::object result = scan_executions(section, &bytes);
        // Another thread may have scanned the section meanwhile: its result
        // stays, so every caller sees one dictionary.
        if (nb::object found = touch(section); found.is_valid())
            return found;
        order_.push_front(Entry{nb::borrow(section), result, bytes});
        where_[section.ptr()] = order_.begin();
        trim();
        return result;
    }

    // The kept scan of `section` (a table or a dictionary), made the most
    // recently used; None when the section is not kept.
    nb::object peek(nb::handle section) {
        nb::object found = touch(section);
        return found.is_valid() ? found : nb::none();
    }

    nb::object cache_info() const {
        return nb::module_::import_("functools").attr("_CacheInfo")(hits_, misses_, MAX_SECTIONS,
                                                                   order_.size());
    }

    void cache_clear() {
        where_.clear();
        std::list<Entry> dropped;
        dropped.swap(order_);
        hits_ = misses_ = 0;
        // The references go last: a section's finaliser may use the cache.
    }

    size_t budget = DEFAULT_BUDGET;
    size_t kept_bytes() const {
        size_t total = 0;
        for (const Entry &entry : order_)
            total += entry.bytes();
        return total;
    }

    // Drops least recently used entries until the table fits its rules; the
    // most recently used one stays even when it alone is over the budget.
    // Tables grow as filters are kept and objects made: their sizes are
    // taken anew each time.
    void trim() {
        std::list<Entry> dropped;
        size_t total = kept_bytes();
        while (order_.size() > MAX_SECTIONS || (order_.size() > 1 && total > budget)) {
            Entry &last = order_.back();
            total -= last.bytes();
            where_.erase(last.section.ptr());
            dropped.splice(dropped.begin(), order_, std::prev(order_.end()));
        }
    }

private:
    nb::object touch(nb::handle section) {
        auto at = where_.find(section.ptr());
        if (at == where_.end())
            return {};
        // A log replaced since its scan is scanned again: the table's
        // ranges would name other text.
        if (is_table(at->second->result) && table_of(at->second->result).stale()) {
            std::list<Entry> dropped;
            dropped.splice(dropped.begin(), order_, at->second);
            where_.erase(at);
            return {};
        }
        order_.splice(order_.begin(), order_, at->second);
        return at->second->result;
    }

    std::list<Entry> order_;  // most recently used first
    std::unordered_map<PyObject *, std::list<Entry>::iterator> where_;
    size_t hits_ = 0, misses_ = 0;
};

// The one table of the process (never destroyed, as the interpreter may be
// gone when static destructors run).
ScanCache &the_cache() {
    static ScanCache *cache = new ScanCache();
    return *cache;
}

}  // namespace

nb::object define_scan_cache(nb::module_ &module) {
    using namespace nb::literals;
    nb::handle object_type(reinterpret_cast<PyObject *>(&PyBaseObject_Type));
    nb::object cache_class =
        ClassBuilder(module, "ScanCache", {object_type})
            .doc("The kept execution scans of sections: at most 128, within a budget in bytes, "
                 "least recently used dropped first. Its one instance is "
                 "LogSection.child_execute.fget.")
            .method("__call__", [](nb::handle, nb::handle section) { return the_cache().call(section); },
                    "section"_a.none(),
                    "The section's executions by execute_id, scanned at the first call and kept.")
            .method("peek", [](nb::handle, nb::handle section) { return the_cache().peek(section); },
                    "section"_a.none(),
                    "The kept scan of a section (an ExecutionTable, or a dictionary of executions when "
                    "pieces of the scan were replaced), or None.")
            .method("scanned", [](nb::handle, nb::handle section) { return the_cache().scanned(section); },
                    "section"_a.none(), "The kept scan of a section (see peek), scanned now when it is not kept.")
            .method("cache_info", [](nb::handle) { return the_cache().cache_info(); })
            .method("cache_clear", [](nb::handle) { the_cache().cache_clear(); })
            .property("kept_bytes", [](nb::handle) { return the_cache().kept_bytes(); },
                      "Estimated bytes of the kept executions and filter results.")
            .property(
                "budget", [](nb::handle) { return the_cache().budget; },
                [](nb::handle, nb::handle bytes) {
                    // Not a whole number: TypeError; negative: OverflowError.
                    size_t budget = PyLong_AsSize_t(bytes.ptr());
                    if (budget == size_t(-1) && PyErr_Occurred())
                        throw nb::python_error();
                    the_cache().budget = budget;
                    the_cache().trim();
                },
                "Bytes the kept entries may take together (512 MiB by default).")
            .build();
    return cache_class();
}

nb::object scanned_executions(nb::handle section) { return the_cache().scanned(section); }

void trim_scan_cache() { the_cache().trim(); }

}  // namespace tavix::parser_base
