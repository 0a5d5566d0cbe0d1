// The scan into a dictionary of execution objects, made as the interpreter
// would make them with whichever pieces are in place.
#include "execution_walk.hpp"

namespace tavix::parser_base::scan {

namespace {


// Builds the execution objects as the interpreter would, with whichever
// pieces are in place; holds the interpreter lock but while reading.
class ObjectBuilder {
public:
    using Unlocked = nb::gil_scoped_release;

    ObjectBuilder(const Pieces &pieces, const SectionFacts &facts, const IdSource &ids)
        : pieces_(pieces), facts_(facts), ids_(ids) {}
    void attach(Walk<ObjectBuilder> &walk) {
        walk_ = &walk;
        read_ = [this](int64_t from, int64_t to, std::string &storage) { return walk_->bytes(from, to, storage); };
    }

    bool is_open() const { return open_.has_value(); }
    bool awaits_target() const { return open_ && open_->ping && !open_->titled; }
    bool host_unusable() const { return facts_.host_unusable; }

    void pause() {
        // Most of a dense scan holds the interpreter lock: let the event
        // loop (and its signal handlers) have it in between.
        { nb::gil_scoped_release yield_lock; }
        if (!keep_going())
            throw Stopped{};
    }

    bool record(const RecordLine &line) const {
        if (facts_.host_unusable) {
            PyErr_Format(PyExc_TypeError, "'in <string>' requires string as left operand, not %.200s",
                         Py_TYPE(facts_.host_object.ptr())->tp_name);
            throw nb::python_error();
        }
        return !facts_.host_unmatchable && line.has_record_prefix(facts_.host.size());
    }

    void open(const RecordLine &line, int64_t index) {
        const Names &name = names();
        std::optional<Banner> banner;
        nb::object groups;
        int64_t message_at = message_begin(line, read_);
        if (pieces_.stock_banners) {
            banner = match_banner(read_, message_at, line.stripped_end);
            if (!banner)
                return;
        } else {
            groups = match_groups(message_at, line);
            if (groups.is_none())
                return;
        }

        nb::object start_line = nb::int_(index);
        nb::object execute_id = new_execute_id(start_line, index);
        Attributes &attributes = attributes_;
        attributes.clear();
        attributes.emplace_back(name.start_line, start_line);
        attributes.emplace_back(name.start_time, time_of(line));
        attributes.emplace_back(name.logfile, facts_.logfile);
        attributes.emplace_back(name.parent_id, facts_.parent_id);
        attributes.emplace_back(name.execute_id, execute_id);
        attributes.emplace_back(name.section_log_start, facts_.log_start_object);
        attributes.emplace_back(name.section_log_size, facts_.log_size_object);
        if (banner) {
            attributes.emplace_back(name.device, shared_text(banner->device_begin, banner->device_end));
            attributes.emplace_back(name.execute_type, nb::borrow(banner_verb(int(banner->kind))));
            if (banner->titled)
                attributes.emplace_back(name.title, shared_text(banner->title_begin, banner->title_end));
        } else {
            for (auto [key, value] : nb::cast<nb::dict>(groups))
                attributes.emplace_back(key, nb::borrow(value));
        }

        nb::object execute;
        if (pieces_.stock_execute) {
            execute = new_execute(facts_.archive, attributes);
            // Until the result is handed out, only this scan can reach the
            // new executions, so the collector has nothing to find among
            // them; left in its young generations they would be traversed
            // again and again as the section's result grows.
            PyObject_GC_UnTrack(execute.ptr());
        } else {
            execute = call_execute(pieces_.execute_class, facts_.archive, attributes);
        }
        attributes.clear();
        bool titled, ping;
        if (banner && pieces_.stock_execute) {
            titled = banner->titled;
            ping = banner->kind == BannerKind::ping;
        } else {
            nb::object kind;
            titled = find_attr(execute, "title", kind);
            ping = find_attr(execute, "execute_type", kind) && PyUnicode_Check(kind.ptr()) &&
                   PyUnicode_CompareWithASCIIString(kind.ptr(), "ping") == 0;
        }
        open_ = OpenExecution{execute, execute_id, index, line.start, titled, ping};
    }

    void target(const RecordLine &line) {
        nb::object title;
        if (pieces_.stock_target) {
            if (line.blank())
                return;
            auto address = match_ping_target(read_, line.stripped_begin, line.stripped_end);
            if (!address)
                return;
            title = shared_text(address->first, address->second);
        } else {
            nb::object stripped = line.blank() ? nb::str() : text(line.stripped_begin, line.stripped_end);
            nb::object match = pieces_.pattern_ping_ip.attr("match")(stripped);
            if (!truthy(match))
                return;
            title = match.attr("group")("ip");
        }
        set_attr(open_->execute, names().title, title);
        open_->titled = true;
    }

    void close(const RecordLine &line, int64_t index) {
        const Names &name = names();
        nb::handle execute = open_->execute;
        set_attr(execute, name.end_line, nb::int_(index));
        set_attr(execute, name.stop_time, time_of(line));
        size_t logs_bytes = 0;
        if (!open_->titled) {
            std::string storage;
            nb::object logs;
            if (whole_block(open_->start_line, index)) {
                std::string_view block = read_(open_->start_at, line.start, storage);
                logs = decode(block.data(), block_end(block));
            } else {
                bool read;
                {
                    nb::gil_scoped_release unlocked;
                    read = read_lines(walk_->file(), open_->start_at, size_t(BLOCK_LINES), line.start, storage);
                }
                if (!read)
                    throw std::system_error(errno, std::generic_category());
                storage += BLOCK_CUT;
                logs = decode(storage);
            }
            logs_bytes = sizeof(PyASCIIObject) + size_t(PyUnicode_GET_LENGTH(logs.ptr())) *
                                                      PyUnicode_KIND(logs.ptr());
            set_attr(execute, name.logs, logs);
        }
        if (PyDict_SetItem(result_.ptr(), open_->execute_id.ptr(), execute.ptr()) < 0)
            throw nb::python_error();
        result_bytes_ += BYTES_PER_EXECUTE + logs_bytes;
        open_.reset();
    }

    nb::dict result() const { return result_; }
    size_t result_bytes() const { return result_bytes_; }

    // Executions are left untracked by the collector while the scan builds
    // them; every way out of the scan, an error or Ctrl-C included, gives
    // them back to it.
    void track_executions_again() {
        Py_ssize_t at = 0;
        PyObject *key, *execute;
        while (PyDict_Next(result_.ptr(), &at, &key, &execute))
            if (!PyObject_GC_IsTracked(execute))
                PyObject_GC_Track(execute);
        if (open_ && !PyObject_GC_IsTracked(open_->execute.ptr()))
            PyObject_GC_Track(open_->execute.ptr());
    }

private:
    struct OpenExecution {
        nb::object execute;
        nb::object execute_id;
        int64_t start_line;
        int64_t start_at;  // byte position of the banner line
        bool titled;
        bool ping;
    };

    nb::object text(int64_t from, int64_t to) const {
        std::string storage;
        std::string_view view = read_(from, to, storage);
        return decode(view.data(), view.size());
    }

    // The text of [from, to), one object for equal short texts.
    nb::object shared_text(int64_t from, int64_t to) {
        std::string storage;
        return short_texts_(read_(from, to, storage));
    }

    // Neighbouring banners mostly share their time: one text object for a
    // run of equal ones.
    nb::object time_of(const RecordLine &line) {
        int64_t from, to;
        if (!line.time_range(from, to))
            return nb::none();
        std::string storage;
        std::string_view view = read_(from, to, storage);
        if (!last_time_.is_valid() || view != last_time_bytes_) {
            last_time_ = decode(view.data(), view.size());
            last_time_bytes_.assign(view);
        }
        return last_time_;
    }

    // The named groups of the banner pattern that matches the message, as a
    // dictionary in the patterns' order, or None.
    nb::object match_groups(int64_t message_at, const RecordLine &line) const {
        nb::object message = text(message_at, std::max(message_at, line.stripped_end));
        nb::object match = pieces_.pattern_config_ping.attr("match")(message);
        if (!truthy(match))
            match = pieces_.pattern_command.attr("match")(message);
        if (!truthy(match))
            return nb::none();
        return match.attr("groupdict")();
    }

    nb::object new_execute_id(nb::handle start_line, int64_t index) const {
        if (!ids_.ids.is_valid()) {
            unsigned char bytes[16];
            execute_id_bytes(ids_.key, index, bytes);
            return tavix::uuid4_text_of(bytes);
        }
        nb::object execute_id = nb::borrow(PyDict_GetItemWithError(ids_.ids.ptr(), start_line.ptr()));
        if (execute_id.is_valid())
            return execute_id;
        if (PyErr_Occurred())
            throw nb::python_error();
        execute_id = as_text(pieces_.uuid4());
        // The first of two threads scanning the section at once wins.
        PyObject *kept = PyDict_SetDefault(ids_.ids.ptr(), start_line.ptr(), execute_id.ptr());
        if (!kept)
            throw nb::python_error();
        return nb::borrow(kept);
    }

    const Pieces &pieces_;
    const SectionFacts &facts_;
    const IdSource &ids_;
    Walk<ObjectBuilder> *walk_ = nullptr;
    ByteReader read_;
    std::string last_time_bytes_;
    nb::object last_time_;
    ShortTexts short_texts_;
    Attributes attributes_;  // of the execution being opened, kept for its capacity
    nb::dict result_;
    size_t result_bytes_ = 0;
    std::optional<OpenExecution> open_;
};

}  // namespace

nb::object scan_to_objects(nb::handle section, const SectionFacts &facts, const Pieces &pieces, size_t *bytes) {
    IdSource ids(section, pieces.stock_uuid);
    std::optional<lines::FileDescriptor> file;
    opened_log(facts, file);
    ObjectBuilder builder(pieces, facts, ids);
    struct TrackAgain {
        ObjectBuilder &builder;
        ~TrackAgain() { builder.track_executions_again(); }
    } track_again{builder};
    try {
        Walk<ObjectBuilder> walk(*file, LineRange::size_hint(facts.log_start, facts.log_size), facts.host,
                                 facts.host_unmatchable, shared().scan_block);
        builder.attach(walk);
        walk.run(builder);
    } catch (const Stopped &) {
        throw nb::python_error();
    } catch (const std::system_error &error) {
        raise_read_error(error, facts);
    }
    *bytes += builder.result_bytes() + sizeof(PyDictObject);
    return builder.result();
}

}  // namespace tavix::parser_base::scan
