#include "execution_table.hpp"

#include <nanobind/stl/optional.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "block_text.hpp"
#include "command_filter.hpp"
#include "log_lines.hpp"
#include "lock_offer.hpp"
#include "path_guard.hpp"
#include "py_helpers.hpp"
#include "record_line.hpp"

namespace tavix::parser_base {

using log_lines::Window;

uint32_t TextPool::add(std::string_view text) {
    if (auto found = ids_.find(text); found != ids_.end())
        return found->second;
    const std::string &kept = texts_.emplace_back(text);
    auto id = uint32_t(texts_.size() - 1);
    ids_.emplace(std::string_view(kept), id);
    bytes_ += kept.capacity() + sizeof(std::string) + 48;  // the string and its map node
    return id;
}

namespace {

constexpr size_t KEPT_FILTERS = 4;
// A filter looks at the first 16 MiB of a title or block text (a hostile
// log's ten lines may take gigabytes), and holds at most as much of the
// texts that need the interpreter at a time.
constexpr size_t FILTERED_TEXT = size_t(16) << 20;
constexpr size_t UNDECIDED_BYTES = size_t(16) << 20;
// Rows filtered between looks at the cancel flag.
constexpr size_t FILTER_BATCH = 4096;
// Rows made JSON between looks at the cancel flag.
constexpr size_t JSON_BATCH = 1024;

}  // namespace

// ------------------------------------------------------------------ ids --

namespace {

constexpr uint64_t GOLDEN = 0x9E3779B97F4A7C15ull;
constexpr uint64_t MIX1 = 0xBF58476D1CE4E5B9ull, MIX2 = 0x94D049BB133111EBull;

// The inverse of an odd number modulo 2^64 (Newton's iteration).
constexpr uint64_t inverse(uint64_t a) {
    uint64_t x = a;
    for (int i = 0; i < 6; ++i)
        x *= 2 - a * x;
    return x;
}

// A bijection of 64-bit numbers that spreads every input bit over the output.
uint64_t mixed(uint64_t z) {
    z = (z ^ (z >> 30)) * MIX1;
    z = (z ^ (z >> 27)) * MIX2;
    return z ^ (z >> 31);
}

uint64_t unmixed(uint64_t z) {
    z ^= (z >> 31) ^ (z >> 62);
    z *= inverse(MIX2);
    z ^= (z >> 27) ^ (z >> 54);
    z *= inverse(MIX1);
    return z ^ (z >> 30) ^ (z >> 60);
}

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

}  // namespace

void execute_id_bytes(const uint64_t key[2], int64_t line, unsigned char out[16]) {
    uint64_t spread = uint64_t(line) * GOLDEN;
    uint64_t halves[2] = {mixed(key[0] ^ spread), mixed(key[1] + spread)};
    std::memcpy(out, halves, 16);
    out[6] = (unsigned char)((out[6] & 0x0F) | 0x40);
    out[8] = (unsigned char)((out[8] & 0x3F) | 0x80);
}

nb::object ExecutionTable::id_of(size_t row) const {
    unsigned char bytes[16];
    execute_id_bytes(id_key, rows[row].start_line, bytes);
    return uuid4_text_of(bytes);
}

std::optional<size_t> ExecutionTable::row_of(nb::handle execute_id) const {
    if (!PyUnicode_Check(execute_id.ptr()) || !PyUnicode_IS_ASCII(execute_id.ptr()) ||
        PyUnicode_GET_LENGTH(execute_id.ptr()) != 36)
        return std::nullopt;
    auto text = static_cast<const char *>(PyUnicode_DATA(execute_id.ptr()));
    unsigned char given[16];
    for (size_t i = 0, t = 0; i < 16; ++i) {
        if (t == 8 || t == 13 || t == 18 || t == 23) {
            if (text[t] != '-')
                return std::nullopt;
            ++t;
        }
        int high = hex_value(text[t]), low = hex_value(text[t + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        given[i] = (unsigned char)(high << 4 | low);
        t += 2;
    }
    // The second half is the mixed key plus the spread line number, less the
    // two variant bits: four candidates for the line.
    uint64_t second;
    std::memcpy(&second, given + 8, 8);
    for (uint64_t variant = 0; variant < 4; ++variant) {
        uint64_t candidate = (second & ~uint64_t(0xC0)) | (variant << 6);
        auto line = int64_t((unmixed(candidate) - id_key[1]) * inverse(GOLDEN));
        auto at = std::lower_bound(rows.begin(), rows.end(), line,
                                   [](const ExecutionRow &row, int64_t value) { return row.start_line < value; });
        if (at == rows.end() || at->start_line != line)
            continue;
        unsigned char made[16];
        execute_id_bytes(id_key, line, made);
        if (std::memcmp(made, given, 16) == 0)
            return size_t(at - rows.begin());
    }
    return std::nullopt;
}

// ---------------------------------------------------------------- texts --

// Reads the rows' texts from the log, front to back through one window.
struct ExecutionTable::Texts {
    explicit Texts(const std::string &path) : file(path.c_str()), window(file, lines::TO_FILE_END) {
        if (!file.ok())
            throw std::system_error(file.error(), std::generic_category());
    }

    std::string_view bytes(int64_t from, int64_t to) {
        std::string_view view;
        if (window.buffered(from, to, view))
            return view;
        view = window.at(from, size_t(to - from));
        return view.substr(0, size_t(std::min<int64_t>(to - from, int64_t(view.size()))));
    }

    // Bytes [from, to), at most `cap` of them cut at a whole character;
    // `cut` tells whether any were left out.
    std::string_view capped(int64_t from, int64_t to, size_t cap, bool &cut) {
        cut = uint64_t(to - from) > cap;
        if (!cut)
            return bytes(from, to);
        std::string_view head = bytes(from, from + int64_t(cap) + 3);
        return head.substr(0, lines::character_boundary(head.data(), head.size(), std::min(cap, head.size())));
    }

    // The block text of a title-less command: its lines up to the closing
    // one with trailing white space removed, or its first ten lines and
    // "(truncate)"; with `cap`, at most that many bytes of them (`cut`
    // tells whether any were left out).
    std::string_view block(const ExecutionRow &row, size_t cap, bool &cut) {
        cut = false;
        if (whole_block(row.start_line, row.end_line)) {
            if (uint64_t(row.end_at - row.start_at) > cap)
                return capped(row.start_at, row.end_at, cap, cut);
            std::string_view text = bytes(row.start_at, row.end_at);
            return text.substr(0, block_end(text));
        }
        // The first ten lines, read up to one byte past the cap at most.
        int64_t limit = cap >= size_t(row.end_at - row.start_at) ? row.end_at : row.start_at + int64_t(cap) + 1;
        std::string_view held = window.at(row.start_at, 1);
        held = held.substr(0, size_t(std::min<int64_t>(int64_t(held.size()), limit - row.start_at)));
        size_t end = 0, count = 0;
        for (; count < size_t(BLOCK_LINES); ++count) {
            auto nl = lines::find_newline(held.data() + end, held.size() - end);
            if (!nl)
                break;
            end = size_t(nl - held.data()) + 1;
        }
        if (count == size_t(BLOCK_LINES)) {
            storage.assign(held.substr(0, end));
        } else if (!log_lines::read_lines(file, row.start_at, size_t(BLOCK_LINES), limit, storage)) {
            throw std::system_error(errno, std::generic_category());
        }
        if (storage.size() > cap) {
            cut = true;
            storage.resize(lines::character_boundary(storage.data(), storage.size(), cap));
            return storage;
        }
        storage += BLOCK_CUT;
        return storage;
    }

    lines::FileDescriptor file;
    Window window;
    std::string storage;
};

namespace {

template <typename Work>
auto reading(const std::string &path, Work &&work) {
    try {
        return work();
    } catch (std::system_error &error) {
        errno = error.code().value();
        raise_errno(path);
    }
}

nb::object text_or_none(const TextPool &texts, uint32_t id) {
    if (id == TextPool::NONE)
        return nb::none();
    std::string_view text = texts[id];
    return decode_text(text.data(), text.size());
}

}  // namespace

nb::handle execute_type_of(BannerKind kind) {
    switch (kind) {
    case BannerKind::executing:
        return banner_verb(int(BannerKind::execute));
    case BannerKind::configure:
        return banner_verb(int(BannerKind::config));
    default:
        return banner_verb(int(kind));
    }
}

nb::object ExecutionTable::pooled_text(uint32_t id) {
    if (id == TextPool::NONE)
        return nb::none();
    if (decoded_.size() < texts.size())
        decoded_.resize(texts.size());
    nb::object &text = decoded_[id];
    if (!text.is_valid())
        text = text_or_none(texts, id);
    return text;
}

nb::object ExecutionTable::handed_out(size_t row) {
    nb::object key;
    PyObject *found = nullptr;
    if (whole_.is_valid()) {
        key = id_of(row);
        found = PyDict_GetItemWithError(whole_.ptr(), key.ptr());
        if (!found && PyErr_Occurred())
            throw nb::python_error();
    }
    if (!found && PyDict_GET_SIZE(made_.ptr())) {
        key = nb::int_(row);
        found = PyDict_GetItemWithError(made_.ptr(), key.ptr());
        if (!found && PyErr_Occurred())
            throw nb::python_error();
    }
    return found ? nb::borrow(found) : nb::object();
}

nb::dict ExecutionTable::row_json(size_t index, Texts &reader, size_t cap) {
    const ExecutionRow &row = rows[index];
    nb::dict json;
    json["execute_id"] = id_of(index);
    bool cut = false;
    if (row.titled) {
        std::string_view title = reader.capped(row.title_begin, row.title_end, cap, cut);
        json["title"] = decode_text(title.data(), title.size());
    }
    json["execute_type"] = execute_type_of(BannerKind(row.kind));
    json["device"] = pooled_text(row.device);
    json["start_time"] = pooled_text(row.start_time);
    if (!row.titled) {
        std::string_view block = reader.block(row, cap, cut);
        json["logs"] = decode_text(block.data(), block.size());
    }
    if (cut)
        json["truncated"] = true;
    return json;
}

nb::object ExecutionTable::json(size_t row) {
    return json_list(nullptr, row, 1)[0];
}

// Bytes of the texts of a JSON form, roughly as many as it takes in an answer.
size_t json_bytes(nb::handle json) {
    size_t total = 64;
    if (!PyDict_Check(json.ptr()))
        return total;
    Py_ssize_t at = 0;
    PyObject *key, *value;
    while (PyDict_Next(json.ptr(), &at, &key, &value))
        if (PyUnicode_Check(value))
            total += size_t(PyUnicode_GET_LENGTH(value)) * PyUnicode_KIND(value);
    return total;
}

void raise_stopped() {
    PyErr_SetString(PyExc_RuntimeError, "filter stopped: no request waits for it any more");
    throw nb::python_error();
}

CommandPaths &command_paths() {
    static CommandPaths *paths = new CommandPaths();
    return *paths;
}

nb::list ExecutionTable::json_list(const std::vector<uint32_t> *selected, size_t from, size_t count,
                                   const PageBudget &budget, const CancelFlag *cancel) {
    size_t total = selected ? selected->size() : rows.size();
    size_t until = from + std::min(count, total - std::min(from, total));
    size_t spent = 0;
    nb::list answer;
    bool stock = stock_to_json();
    // A whole list of a million commands takes a second: other threads (the
    // viewer's event loop) get the lock in between.
    LockOffer offer;
    return reading(path, [&] {
        Texts reader(path);
        for (size_t i = from; i < until; ++i) {
            offer();
            if ((i - from + 1) % JSON_BATCH == 0 && cancel && cancelled(*cancel))
                raise_stopped();
            size_t row = selected ? (*selected)[i] : i;
            nb::object json;
            if (stock) {
                nb::object made = handed_out(row);
                json = made.is_valid() ? nb::object(made.attr("to_json")())
                                       : nb::object(row_json(row, reader, budget.text_cap));
            } else {
                json = execute(row, reader).attr("to_json")();
            }
            if (PyList_Append(answer.ptr(), json.ptr()) < 0)
                throw nb::python_error();
            if (budget.bytes != SIZE_MAX && (spent += json_bytes(json)) >= budget.bytes)
                break;
        }
        return answer;
    });
}

// ------------------------------------------------------------- objects --

nb::object ExecutionTable::execute(size_t index) {
    return reading(path, [&] {
        Texts reader(path);
        return execute(index, reader);
    });
}

nb::object ExecutionTable::execute(size_t index, Texts &reader) {
    if (nb::object made = handed_out(index); made.is_valid())
        return made;
    nb::object made = new_object(index, reader, nb::handle());
    if (PyDict_SetItem(made_.ptr(), nb::int_(index).ptr(), made.ptr()) < 0)
        throw nb::python_error();
    return made;
}

nb::object ExecutionTable::new_object(size_t index, Texts &reader, nb::handle execute_id) {
    const ExecutionRow &row = rows[index];
    const Names &name = names();
    Attributes attributes;
    attributes.emplace_back(name.start_line, nb::int_(row.start_line));
    attributes.emplace_back(name.start_time, pooled_text(row.start_time));
    attributes.emplace_back(name.logfile, section.logfile);
    attributes.emplace_back(name.parent_id, section.parent_id);
    attributes.emplace_back(name.execute_id, execute_id.is_valid() ? nb::borrow(execute_id) : id_of(index));
    attributes.emplace_back(name.section_log_start, section.log_start);
    attributes.emplace_back(name.section_log_size, section.log_size);
    attributes.emplace_back(name.device, pooled_text(row.device));
    attributes.emplace_back(name.execute_type, nb::borrow(banner_verb(row.kind)));
    if (row.titled)
        attributes.emplace_back(name.title, short_titles_(reader.bytes(row.title_begin, row.title_end)));
    attributes.emplace_back(name.end_line, nb::int_(row.end_line));
    attributes.emplace_back(name.stop_time, pooled_text(row.stop_time));
    if (!row.titled) {
        bool cut;
        std::string_view block = reader.block(row, SIZE_MAX, cut);
        attributes.emplace_back(name.logs, decode_text(block.data(), block.size()));
    }
    return new_execute(section.archive, attributes);
}

nb::object ExecutionTable::all_executes() {
    if (whole_.is_valid())
        return whole_;
    // Sized for all of them at once: growing it would move every entry
    // again and again.
    PyObject *presized = _PyDict_NewPresized(Py_ssize_t(rows.size()));
    if (!presized)
        throw nb::python_error();
    auto all = nb::steal<nb::dict>(presized);
    // Objects made here are left to the collector only once all are made:
    // in its young generations they would be traversed again and again as
    // the dictionary grows.
    struct TrackAgain {
        nb::dict &all;
        ~TrackAgain() {
            Py_ssize_t at = 0;
            PyObject *key, *execute;
            while (PyDict_Next(all.ptr(), &at, &key, &execute))
                if (!PyObject_GC_IsTracked(execute))
                    PyObject_GC_Track(execute);
        }
    } track_again{all};
    reading(path, [&] {
        Texts reader(path);
        for (size_t row = 0; row < rows.size(); ++row) {
            nb::object execute_id = id_of(row);
            nb::object execute_object = handed_out(row);
            if (!execute_object.is_valid())
                execute_object = new_object(row, reader, execute_id);
            if (PyDict_SetItem(all.ptr(), execute_id.ptr(), execute_object.ptr()) < 0)
                throw nb::python_error();
            if (PyObject_GC_IsTracked(execute_object.ptr()))
                PyObject_GC_UnTrack(execute_object.ptr());
        }
        return 0;
    });
    // Every object is in the dictionary now: the table finds them there.
    whole_ = all;
    made_.clear();
    return whole_;
}

// ------------------------------------------------------------- filters --

std::vector<uint32_t> ExecutionTable::compute_filter(const CommandFilter &filter, const CancelFlag &cancel) {
    // Devices compare as the interpreter compares the decoded texts: each
    // distinct device is judged once.
    std::vector<char> device_matches;
    if (filter.by_device()) {
        device_matches.resize(texts.size());
        for (size_t id = 0; id < texts.size(); ++id)
            device_matches[id] = pooled_text(uint32_t(id)).equal(filter.device());
    }
    std::vector<uint32_t> kept;
    return reading(path, [&] {
        Texts reader(path);
        // Texts beyond ASCII need the interpreter: they are judged with the
        // lock held after each batch, or sooner once they take much memory.
        std::vector<std::pair<uint32_t, std::string>> undecided;
        size_t undecided_bytes = 0;
        for (size_t index = 0; index < rows.size();) {
            size_t until = std::min(rows.size(), index + FILTER_BATCH);
            size_t first_kept = kept.size();
            {
                nb::gil_scoped_release unlocked;
                if (cancelled(cancel))
                    break;
                for (; index < until && undecided_bytes < UNDECIDED_BYTES; ++index) {
                    const ExecutionRow &row = rows[index];
                    if (filter.by_device() && !device_matches[row.device])
                        continue;
                    if (!filter.by_text()) {
                        kept.push_back(uint32_t(index));
                        continue;
                    }
                    bool cut;
                    std::string_view found = row.titled
                                                 ? reader.capped(row.title_begin, row.title_end, FILTERED_TEXT, cut)
                                                 : reader.block(row, FILTERED_TEXT, cut);
                    int holds = filter.holds_bytes(found);
                    if (holds == 1) {
                        kept.push_back(uint32_t(index));
                    } else if (holds < 0) {
                        undecided.emplace_back(uint32_t(index), std::string(found));
                        undecided_bytes += found.size();
                    }
                }
            }
            if (undecided.empty())
                continue;
            for (auto &[row, found] : undecided)
                if (filter.holds_decoded(found))
                    kept.push_back(row);
            undecided.clear();
            undecided_bytes = 0;
            std::sort(kept.begin() + std::ptrdiff_t(first_kept), kept.end());
        }
        if (cancelled(cancel))
            raise_stopped();
        return kept;
    });
}

std::shared_ptr<const std::vector<uint32_t>> ExecutionTable::filtered(nb::handle device, nb::handle text,
                                                                      const CommandFilter &filter,
                                                                      const CancelFlag &cancel) {
    std::string device_text = utf8_text(device), needle = utf8_text(text);
    for (auto it = filters_.begin(); it != filters_.end(); ++it) {
        if (it->device == device_text && it->needle == needle) {
            filters_.splice(filters_.begin(), filters_, it);
            return filters_.front().rows;
        }
    }
    auto kept = std::make_shared<const std::vector<uint32_t>>(compute_filter(filter, cancel));
    filters_.push_front(RowFilter{std::move(device_text), std::move(needle), kept});
    if (filters_.size() > KEPT_FILTERS)
        filters_.pop_back();
    return kept;
}

std::vector<uint32_t> ExecutionTable::judged(const CommandFilter &filter, const CancelFlag &cancel) {
    // Every row is judged by its execution's JSON form: each execution is
    // made (and kept) for it.
    std::vector<uint32_t> kept;
    LockOffer offer;
    return reading(path, [&] {
        Texts reader(path);
        for (size_t row = 0; row < rows.size(); ++row) {
            offer();
            if ((row + 1) % FILTER_BATCH == 0 && cancelled(cancel))
                break;
            if (filter.matches(execute(row, reader)))
                kept.push_back(uint32_t(row));
        }
        if (cancelled(cancel))
            raise_stopped();
        command_paths().judged += rows.size();
        return kept;
    });
}

std::shared_ptr<const std::vector<uint32_t>> ExecutionTable::matching(nb::handle device, nb::handle text,
                                                                      const CancelFlag &cancel) {
    CommandFilter filter(device, text);
    if (!stock_to_json() || whole_.is_valid())
        return std::make_shared<const std::vector<uint32_t>>(judged(filter, cancel));
    auto kept = filtered(device, text, filter, cancel);
    if (!PyDict_GET_SIZE(made_.ptr()))
        return kept;
    // Kept filters read the log's bytes, which say nothing of an execution
    // handed out since: those rows are judged by their JSON forms now.
    std::vector<std::pair<uint32_t, bool>> verdicts;  // row, whether it matches
    Py_ssize_t at = 0;
    PyObject *key, *execute;
    while (PyDict_Next(made_.ptr(), &at, &key, &execute)) {
        size_t row = PyLong_AsSize_t(key);
        if (row == size_t(-1) && PyErr_Occurred())
            throw nb::python_error();
        verdicts.emplace_back(uint32_t(row), filter.matches(execute));
    }
    std::sort(verdicts.begin(), verdicts.end());
    command_paths().judged += verdicts.size();
    auto merged = std::make_shared<std::vector<uint32_t>>();
    merged->reserve(kept->size() + verdicts.size());
    size_t i = 0, j = 0;
    while (i < kept->size() || j < verdicts.size()) {
        if (j == verdicts.size() || (i < kept->size() && (*kept)[i] < verdicts[j].first)) {
            merged->push_back((*kept)[i++]);
            continue;
        }
        if (i < kept->size() && (*kept)[i] == verdicts[j].first)
            ++i;
        if (verdicts[j].second)
            merged->push_back(verdicts[j].first);
        ++j;
    }
    return merged;
}

nb::tuple ExecutionTable::page(size_t offset, size_t limit, nb::handle device, nb::handle text,
                               const CancelFlag &cancel) {
    ++command_paths().table;
    std::shared_ptr<const std::vector<uint32_t>> selected;
    if (PyObject_Length(device.ptr()) > 0 || PyObject_Length(text.ptr()) > 0)
        selected = matching(device, text, cancel);
    if (PyErr_Occurred())
        throw nb::python_error();
    size_t total = selected ? selected->size() : rows.size();
    nb::list page = json_list(selected.get(), offset, limit, PAGE_BUDGET);
    trim_scan_cache();
    return nb::make_tuple(total, page);
}

// ---------------------------------------------------------------- size --

size_t ExecutionTable::bytes() const {
    size_t total = sizeof(*this) + rows.capacity() * sizeof(ExecutionRow) + texts.bytes();
    for (const RowFilter &filter : filters_)
        total += sizeof(RowFilter) + filter.rows->capacity() * sizeof(uint32_t) + filter.device.size() +
                 filter.needle.size();
    size_t made = size_t(PyDict_GET_SIZE(made_.ptr())) +
                  (whole_.is_valid() ? size_t(PyDict_GET_SIZE(whole_.ptr())) : 0);
    return total + decoded_.capacity() * sizeof(nb::object) + made * BYTES_PER_EXECUTE;
}

void ExecutionTable::remember_file(const lines::FileDescriptor &file) {
    struct stat info;
    if (file.stat(info)) {
        file_.device = uint64_t(info.st_dev);
        file_.inode = uint64_t(info.st_ino);
        file_.size = int64_t(info.st_size);
        file_.modified_ns = int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    }
}

bool ExecutionTable::stale() const {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0)
        return true;
    return uint64_t(info.st_dev) != file_.device || uint64_t(info.st_ino) != file_.inode ||
           int64_t(info.st_size) != file_.size ||
           int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec != file_.modified_ns;
}

// ------------------------------------------------------------ bindings --

ExecutionTable &table_of(nb::handle object) { return *nb::inst_ptr<ExecutionTable>(object); }

bool is_table(nb::handle object) { return nb::isinstance<ExecutionTable>(object); }

nb::object table_object(ExecutionTable *table) { return nb::cast(table, nb::rv_policy::take_ownership); }

void define_execution_table(nb::module_ &module) {
    using namespace nb::literals;
    nb::class_<ExecutionTable>(module, "ExecutionTable",
                               "The device commands of one scanned section, as compact rows over its "
                               "log. What LogSection.child_execute is made from, and what the viewer "
                               "pages through.")
        .def("__len__", [](const ExecutionTable &table) { return table.rows.size(); })
        .def(
            "page",
            [](ExecutionTable &table, size_t offset, size_t limit, nb::str device, nb::str text,
               nb::handle cancel) { return table.page(offset, limit, device, text, cancel_flag_of(cancel)); },
            "offset"_a, "limit"_a, "device"_a = "", "text"_a = "", "cancel"_a.none() = nb::none(),
            "(total, JSON forms): the commands of `device` (all when empty) whose title or block text (its "
            "first 16 MiB) holds `text` ignoring case (all when empty), from `offset`, at most `limit` of them, and fewer once "
            "their texts take 8 MiB; a title or block text over 1 MiB is cut there, its form marked "
            "\"truncated\": true. Filter results are kept with the table.")
        .def("json_list", [](ExecutionTable &table) { return table.json_list(); },
             "The JSON form of every command, in order.")
        .def(
            "find",
            [](const ExecutionTable &table, nb::handle execute_id) -> std::optional<size_t> {
                return table.row_of(execute_id);
            },
            "execute_id"_a.none(), "The row of the command with that id, or None.")
        .def("execute", [](ExecutionTable &table, size_t row) {
                if (row >= table.rows.size())
                    throw nb::index_error("no such row");
                return table.execute(row);
            }, "row"_a, "The row's LogExecute (made once).")
        .def(
            "block",
            [](const ExecutionTable &table, size_t row) {
                if (row >= table.rows.size())
                    throw nb::index_error("no such row");
                const ExecutionRow &r = table.rows[row];
                return nb::make_tuple(r.start_at, r.end_at, r.start_line, r.end_line);
            },
            "row"_a,
            "(start_at, end_at, start_line, end_line): the byte positions of the command's banner line and "
            "of the record line that closed it, and their line indices in the section.")
        .def_prop_ro("nbytes", [](const ExecutionTable &table) { return table.bytes(); },
                     "Estimated bytes the table holds.");
}

}  // namespace tavix::parser_base
