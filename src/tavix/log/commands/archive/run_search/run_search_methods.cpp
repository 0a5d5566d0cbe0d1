// build_search_index, RunSearch and SearchIndexError: searching a stored
// run's zip, by its search index or the slow way, as the module shows it.
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cancel_flag.hpp>
#include <path_guard.hpp>
#include <py_helpers.hpp>

#include <memory>
#include <string>
#include <vector>

#include "../archive.hpp"
#include "bindings.hpp"
#include "run_search.hpp"

namespace tavix::run_search {

namespace {

using namespace nb::literals;

// The bytes of a bytes-like object, copied (a bytearray may change later).
std::string buffer_bytes(nb::handle object) {
    Py_buffer view;
    if (PyObject_GetBuffer(object.ptr(), &view, PyBUF_SIMPLE) != 0)
        throw nb::python_error();
    std::string bytes(static_cast<const char *>(view.buf), size_t(view.len));
    PyBuffer_Release(&view);
    return bytes;
}

nb::dict build(nb::handle source_object, nb::handle target, const std::vector<std::string> &members,
               nb::handle metadata, nb::handle cancel, nb::handle block_size) {
    std::unique_ptr<ByteSource> source = source_of(source_object);
    std::string target_path = fs_path(target);
    std::string metadata_bytes = buffer_bytes(metadata);
    size_t block = kDefaultBlockSize;
    if (!block_size.is_none()) {
        block = nb::cast<size_t>(block_size);
        if (block == 0)
            throw nb::value_error("block_size must be positive");
    }
    CancelFlag flag = cancel_flag_of(cancel);
    BuildSummary summary;
    {
        nb::gil_scoped_release release;
        summary = build_search_index(*source, members, target_path, metadata_bytes, block, flag.get());
    }
    nb::dict answer;
    answer["members"] = summary.members;
    answer["blocks"] = summary.blocks;
    answer["bytes"] = summary.bytes;
    answer["index_bytes"] = summary.index_bytes;
    answer["access_points"] = summary.access_points;
    return answer;
}

struct HitKeys {
    nb::str member = interned("member"), line = interned("line"), offset = interned("offset"),
            column = interned("column"), length = interned("length"), text = interned("text"),
            truncated = interned("truncated");
};

void set_item(nb::handle dict, nb::handle key, nb::handle value) {
    if (!value.is_valid() || PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) < 0)
        throw nb::python_error();
}

void set_int(nb::handle dict, nb::handle key, int64_t value) {
    nb::object number = nb::steal(PyLong_FromLongLong(value));
    set_item(dict, key, number);
}

// The Python side of one search: its batches as lists of hit dictionaries.
class SearchHits {
public:
    SearchHits(std::unique_ptr<RunSearch> search, std::vector<nb::object> names)
        : search_(std::move(search)), names_(std::move(names)) {}
    ~SearchHits() {
        // The search's thread may be waiting for the GIL (a Python source).
        if (search_ && PyGILState_Check()) {
            nb::gil_scoped_release release;
            search_.reset();
        }
    }

    nb::list next() {
        std::vector<MemberHit> hits;
        bool more;
        {
            nb::gil_scoped_release release;
            more = search_->next(hits);
        }
        if (!more)
            throw nb::stop_iteration();
        static const HitKeys *keys = new HitKeys();  // never destroyed: no interpreter calls at teardown
        PyObject *list = PyList_New(Py_ssize_t(hits.size()));
        if (!list)
            throw nb::python_error();
        nb::list answer = nb::steal<nb::list>(list);
        Py_ssize_t index = 0;
        for (const MemberHit &found : hits) {
            const search::Hit &hit = found.hit;
            nb::dict entry;
            set_item(entry, keys->member, names_[found.member]);
            set_int(entry, keys->line, hit.line);
            set_int(entry, keys->offset, hit.line_start);
            set_int(entry, keys->column, hit.column);
            set_int(entry, keys->length, hit.length);
            set_item(entry, keys->text, decode_text(hit.text.data(), hit.text.size()));
            set_item(entry, keys->truncated, hit.truncated ? Py_True : Py_False);
            PyList_SET_ITEM(answer.ptr(), index++, entry.release().ptr());
        }
        return answer;
    }

private:
    std::unique_ptr<RunSearch> search_;
    std::vector<nb::object> names_;
};

class RunSearchObject {
public:
    RunSearchObject(nb::handle source_object, nb::handle index) {
        std::unique_ptr<ByteSource> source = source_of(source_object);
        std::string index_path, index_bytes;
        bool from_path = false;
        if (!index.is_none()) {
            from_path = !PyObject_CheckBuffer(index.ptr());
            if (from_path)
                index_path = fs_path(index);
            else
                index_bytes = buffer_bytes(index);
        }
        {
            nb::gil_scoped_release release;
            std::shared_ptr<const SearchIndex> opened;
            if (from_path)
                opened = SearchIndex::open_file(index_path);
            else if (!index.is_none())
                opened = SearchIndex::from_bytes(std::move(index_bytes));
            archive_ = std::make_shared<RunArchive>(std::move(source), std::move(opened));
        }
        for (const ZipMember &member : archive_->members())
            names_.push_back(nb::str(member.name.data(), member.name.size()));
    }

    nb::list members() const {
        nb::list names;
        for (const nb::object &name : names_)
            names.append(name);
        return names;
    }
    bool indexed() const { return archive_->indexed(); }
    nb::bytes metadata() const {
        std::string_view bytes = archive_->indexed() ? archive_->index()->metadata() : std::string_view();
        return nb::bytes(bytes.data(), bytes.size());
    }
    nb::dict counters() const {
        nb::dict answer;
        answer["blocks_total"] = counters_->blocks_total.load();
        answer["blocks_read"] = counters_->blocks_read.load();
        answer["bytes_inflated"] = counters_->bytes_inflated.load();
        answer["compressed_bytes_read"] = counters_->compressed_bytes_read.load();
        return answer;
    }

    SearchHits *search(nb::handle query, bool regex, bool case_sensitive, nb::handle members, nb::handle cancel,
                       size_t limit) {
        if (limit == 0)
            throw nb::value_error("limit must be positive");
        std::vector<uint32_t> chosen;
        if (members.is_none()) {
            for (uint32_t i = 0; i < names_.size(); ++i)
                chosen.push_back(i);
        } else {
            std::vector<bool> wanted(names_.size(), false);
            for (nb::handle name : members) {
                bool found = false;
                for (size_t i = 0; i < names_.size() && !found; ++i)
                    if (names_[i].equal(name))
                        found = wanted[i] = true;
                if (!found)
                    throw nb::value_error(("no member " + nb::cast<std::string>(nb::str(name)) + " to search").c_str());
            }
            for (uint32_t i = 0; i < names_.size(); ++i)
                if (wanted[i])
                    chosen.push_back(i);
        }
        std::unique_ptr<search::Matcher> matcher = archive::compile_query(query, regex, case_sensitive);
        std::string text = nb::cast<std::string>(query);
        TrigramQuery filter;
        if (archive_->indexed()) {
            std::unique_ptr<search::Node> tree =
                regex ? search::parse_regex(text, !case_sensitive) : search::parse_literal(text, !case_sensitive);
            filter = query_trigrams(*tree);
        }
        counters_ = std::make_shared<SearchCounters>();
        auto run = std::make_unique<RunSearch>(archive_, std::move(matcher), std::move(filter), std::move(chosen),
                                               limit, cancel_flag_of(cancel), counters_);
        return new SearchHits(std::move(run), names_);
    }

private:
    std::shared_ptr<const RunArchive> archive_;
    std::vector<nb::object> names_;
    std::shared_ptr<SearchCounters> counters_ = std::make_shared<SearchCounters>();
};

}  // namespace

void define_run_search(nb::module_ &m) {
    nb::exception<SearchIndexError> index_error(m, "SearchIndexError", PyExc_ValueError);
    index_error.attr("__doc__") = "A search index that is damaged, truncated, of another format version, or not\n"
                                  "of the zip it is used with: search that run the slow way, and build its index\n"
                                  "again.";

    m.def("build_search_index", &build, "source"_a, "target"_a, "members"_a, nb::kw_only(),
          "metadata"_a = nb::bytes(""), "cancel"_a.none() = nb::none(), "block_size"_a.none() = nb::none(),
          "Builds the search index of a run's zip: `source` is its path or an object with .size and\n"
          ".read_at(offset, size); `members` names the members to index (the task logs), in order;\n"
          "`metadata` is kept as it is (RunSearch.metadata). The index is written beside `target`,\n"
          "then renamed to it. Returns {\"members\", \"blocks\", \"bytes\" (of text), \"index_bytes\",\n"
          "\"access_points\"}. ValueError for a zip that is not one, a missing member or damaged\n"
          "data; OSError when reading or writing fails; CancelledError once `cancel`, a flag the\n"
          "server makes, is set. `block_size` (bytes of text per block) is for tests.");

    nb::class_<SearchHits>(m, "_RunSearchHits", "The hits of RunSearch.search, a list at a time.")
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", &SearchHits::next);

    nb::class_<RunSearchObject>(m, "RunSearch",
                                "Searches the lines of a run's zip members, by its search index or, without\n"
                                "one, the slow way (every line of every member, streamed from the zip).")
        .def(nb::init<nb::handle, nb::handle>(), "source"_a, "index"_a.none() = nb::none(),
             "`source`: the zip's path or an object with .size and .read_at(offset, size); `index`:\n"
             "the path of its search index, its bytes, or None. SearchIndexError for an index that\n"
             "is damaged, truncated, of another format version or not of this zip.")
        .def_prop_ro("members", &RunSearchObject::members,
                     "The members searched: those indexed, or every file of the zip.")
        .def_prop_ro("indexed", &RunSearchObject::indexed)
        .def_prop_ro("metadata", &RunSearchObject::metadata, "The bytes the index keeps for its maker (b\"\" without one).")
        .def_prop_ro("counters", &RunSearchObject::counters,
                     "The work of the latest search: {\"blocks_total\", \"blocks_read\", \"bytes_inflated\",\n"
                     "\"compressed_bytes_read\"} (without an index a block is 128 KiB of a member).")
        .def("search", &RunSearchObject::search, "query"_a, nb::kw_only(), "regex"_a = false, "case"_a = false,
             "members"_a.none() = nb::none(), "cancel"_a.none() = nb::none(), "limit"_a = size_t(10000),
             nb::rv_policy::take_ownership,
             "An iterator of lists of at most `limit` hits {\"member\", \"line\", \"offset\", \"column\",\n"
             "\"length\", \"text\", \"truncated\"}: the lines holding `query` (a literal text, or a\n"
             "regular expression when `regex`; case is ignored unless `case`), in member order,\n"
             "then by offset, each once, with the fields Archive.search gives them (`line` and\n"
             "`offset`, of the line's start, counted in the member). `members` narrows the search\n"
             "to those named. The search runs ahead of its reader without the GIL; it stops once\n"
             "`cancel`, a flag the server makes, is set, or when the iterator is dropped. An\n"
             "invalid query raises ValueError as Archive.check_query does.");
}

}  // namespace tavix::run_search
