// The scan into an ExecutionTable: rows filled without the interpreter, in
// stretches scanned side by side by several threads, then joined.
#include "execution_walk.hpp"

namespace tavix::parser_base::scan {

namespace {


// The commands of a stretch of the log, numbered from its first line.
struct Found {
    std::vector<ExecutionRow> rows;
    TextPool texts;
    int64_t lines = 0;  // in the stretch
};

// How the threads of one scan stop together: the first to stop (Ctrl-C or
// the viewer's cancel flag, seen by the calling thread; a read error) tells
// the others.
struct Stopping {
    std::atomic<bool> stop{false};
    const std::atomic<bool> *cancel = nullptr;
};

// Thrown by the scan's other threads when the scan stops: no Python error.
struct Halted {};

// Fills rows without the interpreter.
class TableBuilder {
public:
    struct Unlocked {
        Unlocked() {}  // the walk runs with the lock let go already
    };

    // `caller`: runs in the thread that asked for the scan, which alone
    // looks at Ctrl-C.
    TableBuilder(Found &found, const SectionFacts &facts, Stopping &stopping, bool caller)
        : found_(found), facts_(facts), stopping_(stopping), caller_(caller) {}
    void attach(Walk<TableBuilder> &walk) {
        walk_ = &walk;
        read_ = [this](int64_t from, int64_t to, std::string &storage) { return walk_->bytes(from, to, storage); };
    }

    bool is_open() const { return open_.has_value(); }
    bool awaits_target() const { return open_ && open_->kind == uint8_t(BannerKind::ping) && !open_->titled; }
    bool host_unusable() const { return false; }

    void pause() {
        if (stopping_.stop.load(std::memory_order_relaxed))
            throw Halted{};
        if (!caller_) {
            if (stopping_.cancel && stopping_.cancel->load(std::memory_order_relaxed))
                throw Halted{};
            return;
        }
        nb::gil_scoped_acquire locked;
        if (!keep_going()) {
            stopping_.stop = true;
            throw Stopped{};
        }
    }

    bool record(const RecordLine &line) const {
        return !facts_.host_unmatchable && line.has_record_prefix(facts_.host.size());
    }

    void open(const RecordLine &line, int64_t index) {
        std::optional<Banner> banner = match_banner(read_, message_begin(line, read_), line.stripped_end);
        if (!banner)
            return;
        std::string storage;
        ExecutionRow row{};
        row.start_at = line.start;
        row.start_line = index;
        row.start_time = time_of(line);
        row.device = pooled(read_(banner->device_begin, banner->device_end, storage), recent_devices_);
        row.kind = uint8_t(banner->kind);
        row.titled = banner->titled;
        row.title_begin = banner->title_begin;
        row.title_end = banner->title_end;
        open_ = row;
    }

    void target(const RecordLine &line) {
        if (line.blank())
            return;
        if (auto address = match_ping_target(read_, line.stripped_begin, line.stripped_end)) {
            open_->title_begin = address->first;
            open_->title_end = address->second;
            open_->titled = true;
        }
    }

    void close(const RecordLine &line, int64_t index) {
        open_->end_at = line.start;
        open_->end_line = index;
        open_->stop_time = time_of(line);
        found_.rows.push_back(*open_);
        open_.reset();
    }

private:
    uint32_t time_of(const RecordLine &line) {
        int64_t from, to;
        if (!line.time_range(from, to))
            return TextPool::NONE;
        std::string storage;
        return pooled(read_(from, to, storage), recent_times_);
    }

    // Neighbouring commands mostly share their time and take turns among a
    // few devices: the texts last pooled are compared before the pool's
    // table is searched.
    template <size_t N>
    uint32_t pooled(std::string_view text, std::array<uint32_t, N> &recent) {
        for (uint32_t id : recent)
            if (id != TextPool::NONE && found_.texts[id] == text)
                return id;
        uint32_t id = found_.texts.add(text);
        std::move_backward(recent.begin(), recent.end() - 1, recent.end());
        recent[0] = id;
        return id;
    }

    Found &found_;
    const SectionFacts &facts_;
    Stopping &stopping_;
    bool caller_;
    std::array<uint32_t, 1> recent_times_{TextPool::NONE};
    std::array<uint32_t, 4> recent_devices_{TextPool::NONE, TextPool::NONE, TextPool::NONE, TextPool::NONE};
    Walk<TableBuilder> *walk_ = nullptr;
    ByteReader read_;
    std::optional<ExecutionRow> open_;
};

// The stretches' rows as one table: line numbers counted from the section's
// first line, texts pooled once.
void join_stretches(ExecutionTable &table, std::vector<Found> &found) {
    size_t total = 0;
    for (const Found &stretch : found)
        total += stretch.rows.size();
    if (found.empty())
        return;
    table.texts = std::move(found[0].texts);
    if (found.size() == 1 && found[0].rows.capacity() == total) {
        table.rows = std::move(found[0].rows);
        return;
    }
    table.rows.reserve(total);
    int64_t lines_before = 0;
    for (size_t k = 0; k < found.size(); ++k) {
        std::vector<uint32_t> ids(k == 0 ? 0 : found[k].texts.size());
        for (size_t id = 0; id < ids.size(); ++id)
            ids[id] = table.texts.add(found[k].texts[uint32_t(id)]);
        auto pooled = [&](uint32_t id) { return k == 0 || id == TextPool::NONE ? id : ids[id]; };
        for (ExecutionRow row : found[k].rows) {
            row.start_line += lines_before;
            row.end_line += lines_before;
            row.device = pooled(row.device);
            row.start_time = pooled(row.start_time);
            row.stop_time = pooled(row.stop_time);
            table.rows.push_back(row);
        }
        std::vector<ExecutionRow>().swap(found[k].rows);
        lines_before += found[k].lines;
    }
}
// Walks one stretch; a command still open at its end is followed into the
// rest of the section until the line that closes it.
void scan_stretch(const lines::FileDescriptor &file, const LineRange &stretch, const LineRange &whole,
                  const SectionFacts &facts, Found &found, Stopping &stopping, bool caller) {
    TableBuilder builder(found, facts, stopping, caller);
    {
        Walk<TableBuilder> walk(file, stretch, facts.host, facts.host_unmatchable, shared().scan_block);
        builder.attach(walk);
        walk.run(builder);
        found.lines = walk.lines_read();
    }
    if (builder.is_open() && stretch.end < whole.end) {
        LineRange rest = whole;
        rest.begin = stretch.end;
        rest.line = found.lines;
        Walk<TableBuilder> walk(file, rest, facts.host, facts.host_unmatchable, shared().scan_block);
        builder.attach(walk);
        walk.run(builder, true);
    }
}

}  // namespace

nb::object scan_to_table(nb::handle section, const SectionFacts &facts) {
    IdSource ids(section, true);
    std::optional<lines::FileDescriptor> file;  // NOLINT
    auto table = std::make_unique<ExecutionTable>();
    table->path = opened_log(facts, file);
    table->remember_file(*file);
    std::memcpy(table->id_key, ids.key, sizeof ids.key);
    table->section = SectionAttributes{facts.archive, facts.logfile, facts.parent_id, facts.log_start_object,
                                       facts.log_size_object};
    LineRange whole = LineRange::size_hint(facts.log_start, facts.log_size);
    Stopping stopping;
    stopping.cancel = scan_cancel;
    std::vector<Found> found;
    std::vector<std::exception_ptr> failed;
    {
        nb::gil_scoped_release unlocked;
        std::vector<LineRange> stretches;
        try {
            stretches = stretches_of(*file, whole);
        } catch (...) {
            failed.push_back(std::current_exception());
        }
        found.resize(stretches.size());
        failed.resize(stretches.size() + failed.size());
        auto scan = [&](size_t k) {
            try {
                scan_stretch(*file, stretches[k], whole, facts, found[k], stopping, k == 0);
            } catch (...) {
                failed[k] = std::current_exception();
                stopping.stop = true;
            }
        };
        std::vector<std::thread> threads;
        for (size_t k = 1; k < stretches.size(); ++k)
            threads.emplace_back(scan, k);
        if (!stretches.empty())
            scan(0);
        for (std::thread &thread : threads)
            thread.join();
    }
    for (const std::exception_ptr &failure : failed) {
        if (!failure)
            continue;
        try {
            std::rethrow_exception(failure);
        } catch (const std::system_error &error) {
            raise_read_error(error, facts);
        } catch (const Stopped &) {
            throw nb::python_error();
        } catch (const Halted &) {
        }
    }
    for (const std::exception_ptr &failure : failed) {
        if (failure) {
            // Stopped by the cancel flag, seen first by another thread.
            if (keep_going())
                PyErr_SetString(PyExc_RuntimeError, "scan stopped: no request waits for it any more");
            throw nb::python_error();
        }
    }
    join_stretches(*table, found);
    return table_object(table.release());
}

}  // namespace tavix::parser_base::scan
