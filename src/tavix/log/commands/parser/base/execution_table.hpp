// The device commands of one scanned section, kept compactly: a row of a few
// dozen bytes per command and its texts as ranges of the task log, not as
// copies. Execution objects, ids and JSON forms are made from a row only when
// they are asked for, with the same ids every time.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <cancel_flag.hpp>

#include "banners.hpp"
#include "block_text.hpp"
#include "base.hpp"
#include "command_filter.hpp"
#include "line_reader.hpp"

namespace tavix::parser_base {

// Texts that repeat from command to command (devices, times), each kept once.
class TextPool {
public:
    static constexpr uint32_t NONE = UINT32_MAX;

    uint32_t add(std::string_view text);
    std::string_view operator[](uint32_t id) const { return texts_[id]; }
    size_t size() const { return texts_.size(); }
    size_t bytes() const { return bytes_; }

private:
    std::deque<std::string> texts_;  // addresses stay put as it grows
    std::unordered_map<std::string_view, uint32_t> ids_;
    size_t bytes_ = 0;
};

struct ExecutionRow {
    int64_t start_at;     // byte position of the banner line
    int64_t end_at;       // byte position of the record line that closed the command
    int64_t start_line;   // line indices within the section
    int64_t end_line;
    int64_t title_begin;  // the title's bytes (banner or ping-target line) when titled
    int64_t title_end;
    uint32_t device;      // in the table's texts
    uint32_t start_time;  // in the table's texts; NONE: no time
    uint32_t stop_time;
    uint8_t kind;         // BannerKind, the verb as written
    bool titled;
};

// A kept filter: the rows whose device and text match.
struct RowFilter {
    std::string device, needle;  // the query as given (UTF-8)
    std::shared_ptr<const std::vector<uint32_t>> rows;
};

// Bytes of text a list of JSON forms may hold (it ends after the form that
// reaches them), and bytes of one title or block text (the rest is cut, the
// form marked "truncated").
struct PageBudget {
    size_t bytes = SIZE_MAX, text_cap = SIZE_MAX;
};

// A page of commands holds at most this much text: a hostile log's blocks of
// ten huge lines cannot make one answer hold gigabytes.
inline constexpr PageBudget PAGE_BUDGET{size_t(8) << 20, size_t(1) << 20};

// Bytes of the texts of a JSON form, roughly as many as it takes in an answer.
size_t json_bytes(nb::handle json);

// Raises the RuntimeError of a filter or list whose request went away.
[[noreturn]] void raise_stopped();

// How often each way of answering for a section's commands ran, and how many
// executions were judged by their JSON forms, for tests.
struct CommandPaths {
    size_t table = 0, objects = 0, override = 0, judged = 0;
};
CommandPaths &command_paths();

// Whatever of the stock execution the table stands for: the section's
// attributes every execution carries.
struct SectionAttributes {
    nb::object archive, logfile, parent_id, log_start, log_size;
};

class ExecutionTable {
public:
    std::vector<ExecutionRow> rows;
    TextPool texts;
    uint64_t id_key[2] = {0, 0};
    std::string path;  // of the log, as scanned
    SectionAttributes section;

    // Estimated bytes held: rows, texts, kept filters, objects handed out.
    size_t bytes() const;
    // Whether the log is no longer the file that was scanned.
    bool stale() const;
    void remember_file(const lines::FileDescriptor &file);

    // The 36-character id of a row.
    nb::object id_of(size_t row) const;
    // The row with that id, if any.
    std::optional<size_t> row_of(nb::handle execute_id) const;

    // The row's LogExecute, made once and kept.
    nb::object execute(size_t row);
    // Every execution by id, in order: what child_execute gives (made once).
    nb::object all_executes();
    // to_json() of the row's execution.
    nb::object json(size_t row);
    // Stops with RuntimeError once `cancel` is set.
    nb::list json_list(const std::vector<uint32_t> *rows = nullptr, size_t from = 0, size_t count = SIZE_MAX,
                       const PageBudget &budget = PageBudget(), const CancelFlag *cancel = nullptr);
    // (total, JSON forms): a page of the commands matching a device
    // (exactly) and a text (ignoring case, in the title or the block text;
    // empty filters match all), at most `limit` from `offset`, fewer once
    // their texts take PAGE_BUDGET.
    nb::tuple page(size_t offset, size_t limit, nb::handle device, nb::handle text, const CancelFlag &cancel);
    // The rows the filters keep: untouched rows by their texts in the log
    // (kept with the table), rows whose execution was handed out (every row
    // while to_json is not the stock one) by their JSON forms, now.
    std::shared_ptr<const std::vector<uint32_t>> matching(nb::handle device, nb::handle text,
                                                          const CancelFlag &cancel);
    // child_execute's dictionary once it was handed out (invalid before):
    // from then on it, not the rows, holds the section's executions.
    nb::object whole() const { return whole_; }

private:
    struct Texts;
    nb::dict row_json(size_t row, Texts &texts, size_t cap = SIZE_MAX);
    nb::object execute(size_t row, Texts &texts);
    // A new LogExecute for the row (with its id when the caller made it already).
    nb::object new_object(size_t row, Texts &texts, nb::handle execute_id);
    // The object handed out for a row (in child_execute's dictionary, or
    // made for get_execution), if any.
    nb::object handed_out(size_t row);
    // One interpreter text per pooled text.
    nb::object pooled_text(uint32_t id);
    std::vector<uint32_t> compute_filter(const CommandFilter &filter, const CancelFlag &cancel);
    // A kept filter, or one computed from the rows' texts and kept.
    std::shared_ptr<const std::vector<uint32_t>> filtered(nb::handle device, nb::handle text,
                                                          const CommandFilter &filter, const CancelFlag &cancel);
    // Every row judged by its execution's JSON form.
    std::vector<uint32_t> judged(const CommandFilter &filter, const CancelFlag &cancel);

    nb::dict made_;       // row number -> LogExecute handed out, until whole_ holds them all
    std::vector<nb::object> decoded_;  // of texts, by id
    ShortTexts short_titles_;
    nb::object whole_;    // child_execute's dictionary, once made
    std::list<RowFilter> filters_;  // most recently used first
    struct {
        uint64_t device = 0, inode = 0;
        int64_t size = 0, modified_ns = 0;
    } file_;
};

// The table an ExecutionTable object holds.
ExecutionTable &table_of(nb::handle object);
bool is_table(nb::handle object);
nb::object table_object(ExecutionTable *table);
void define_execution_table(nb::module_ &module);

// The normalised kind of a banner verb: "executing" as "execute", "configure"
// as "config".
nb::handle execute_type_of(BannerKind kind);

}  // namespace tavix::parser_base
