// The search routes: hits in one section's log, page by page, and hit counts
// per section over the whole job. Both search in a worker thread through the
// archive's native searcher.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <vector>

#include <cancel_flag.hpp>

#include "coroutine.hpp"
#include "innermost_ranges.hpp"
#include "server.hpp"

namespace tavix::server {

nb::object invalid_query(nb::handle self) {
    nb::dict body;
    body["detail"] = "INVALID_QUERY";
    return state->json_response(body, nb::arg("status") = 400,
                                nb::arg("headers") = default_header(self));
}

long long int_param(nb::handle query, const char *name, long long fallback, long long lowest,
                    long long highest) {
    nb::object text = query.attr(state->get)(name);
    if (text.is_none())
        return fallback;
    try {
        nb::object value = state->pyint(text);
        long long number = PyLong_AsLongLong(value.ptr());
        if (number == -1 && PyErr_Occurred())
            throw nb::python_error();
        if (number < lowest || number > highest)
            throw InvalidQuery();
        return number;
    } catch (const nb::python_error &e) {
        // Not a whole number, or one too large: the query's fault.
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_OverflowError))
            throw;
        throw InvalidQuery();
    }
}

namespace {

constexpr Py_ssize_t kMaxQuery = 1000;
constexpr long long kMaxLimit = 1000, kDefaultLimit = 100;

bool flag_param(nb::handle query, const char *name) {
    nb::object text = query.attr(state->get)(name);
    if (text.is_none())
        return false;
    nb::str value(text);
    if (value.equal(nb::str("1")))
        return true;
    if (value.equal(nb::str("0")))
        return false;
    throw InvalidQuery();
}

struct Query {
    nb::object text;
    bool regex = false, case_sensitive = false;
};

Query query_params(nb::handle query) {
    Query q;
    q.text = query.attr(state->get)("q");
    if (q.text.is_none())
        throw InvalidQuery();
    Py_ssize_t length = nb::len(q.text);
    if (length < 1 || length > kMaxQuery)
        throw InvalidQuery();
    q.regex = flag_param(query, "regex");
    q.case_sensitive = flag_param(query, "case");
    return q;
}

// The next page's link: the same query from where this answer stopped.
nb::object next_link(nb::handle request, const Query &q, nb::handle answer, long long limit) {
    nb::dict params;
    params["q"] = q.text;
    if (q.regex)
        params["regex"] = 1;
    if (q.case_sensitive)
        params["case"] = 1;
    nb::object scanned_to = answer["scanned_to"], line_start = answer["line_start"];
    params["offset"] = scanned_to;
    params["line"] = answer["line"];
    if (!line_start.equal(scanned_to))
        params["line_start"] = line_start;
    params["limit"] = limit;
    nb::object encode = nb::module_::import_("urllib.parse").attr("urlencode");
    return nb::str("{}?{}").format(request.attr(state->path), encode(params));
}

// The archive's searcher raises ValueError for a query it cannot match: that
// error, and only that one, is the query's fault (INVALID_QUERY). Failures
// anywhere else in the work (the results model, the files) are the search's.
struct QueryRefused {};

template <typename Call>
nb::object searcher_call(Call &&call) {
    try {
        return call();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError))
            throw;
        throw QueryRefused();
    }
}

// Searches run in pools of their own, one per kind, so that however many
// come they never hold the threads of scans, categories and page reads.
// A client (an address) has at most `per_client` searches of a kind running
// or waiting; one more is refused with TOO_MANY_SEARCHES. A search whose
// client has gone stops between blocks of its log.
struct SearchKind {
    const char *name;
    long long per_client;
};
constexpr SearchKind kSectionSearches{"section", 6};
constexpr SearchKind kJobSearches{"job", 2};
constexpr int kSearchThreads = 2;

nb::object too_many_searches(nb::handle self) {
    nb::dict body;
    body["detail"] = "TOO_MANY_SEARCHES";
    nb::object headers = nb::borrow(PyDict_Copy(default_header(self).ptr()));
    if (!headers.is_valid())
        throw nb::python_error();
    headers["Retry-After"] = "1";
    return state->json_response(body, nb::arg("status") = 429, nb::arg("headers") = headers);
}

// The server's search state: {"pools": {kind: executor}, "running": {(kind,
// client): count}, "flags": set of the running searches' cancel flags}.
nb::dict search_state(nb::handle self) { return nb::borrow<nb::dict>(self.attr("_searches")); }

nb::object search_pool(nb::handle self, const SearchKind &kind) {
    nb::dict pools = nb::borrow<nb::dict>(search_state(self)["pools"]);
    nb::object pool = pools.attr("get")(kind.name);
    if (pool.is_none()) {
        pool = nb::module_::import_("concurrent.futures")
                   .attr("ThreadPoolExecutor")(nb::arg("max_workers") = kSearchThreads,
                                               nb::arg("thread_name_prefix") = nb::str("tavix-search-") + nb::str(kind.name));
        pools[kind.name] = pool;
    }
    return pool;
}

// Runs work(cancel capsule) in the pool of `kind`, then answers on the loop.
template <typename Work>
nb::object search_off_loop(nb::handle self_handle, nb::handle request, const SearchKind &kind, Work work,
                           const char *message, const char *detail) {
    nb::object self = nb::borrow(self_handle);
    nb::dict searches = search_state(self);
    nb::dict running = nb::borrow<nb::dict>(searches["running"]);
    nb::object flags = searches["flags"];
    nb::object key = nb::make_tuple(kind.name, request.attr("remote"));
    long long count = nb::cast<long long>(running.attr("get")(key, 0));
    if (count >= kind.per_client)
        return too_many_searches(self);
    running[key] = count + 1;

    CancelFlag flag = std::make_shared<std::atomic<bool>>(false);
    nb::object capsule = cancel_capsule(flag);
    flags.attr("add")(capsule);
    nb::object job;
    try {
        nb::object loop = state->get_running_loop();
        job = loop.attr("run_in_executor")(search_pool(self, kind), nb::cpp_function([self, work, capsule, flag]() -> nb::object {
            if (cancelled(flag))
                return nb::none();  // its client left while it waited
            try {
                return work(capsule);
            } catch (const QueryRefused &) {
                return invalid_query(self);
            }
        }));
    } catch (...) {
        running[key] = count;
        flags.attr("discard")(capsule);
        throw;
    }
    job.attr("add_done_callback")(nb::cpp_function([running, flags, key, capsule](nb::handle) {
        long long left = nb::cast<long long>(running.attr("get")(key, 1)) - 1;
        if (left > 0)
            running[key] = left;
        else if (PyDict_DelItem(running.ptr(), key.ptr()) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError))
                throw nb::python_error();
            PyErr_Clear();  // gone already: the server was cleaned up
        }
        flags.attr("discard")(capsule);
    }));
    nb::object answer = then(job, [self, message, detail](nb::handle future) {
        return answer_or_report(self, [&] { return future.attr("result")(); }, message, detail);
    });
    // The request's answer is cancelled when its client goes away.
    answer.attr("add_done_callback")(nb::cpp_function([flag](nb::handle done) {
        if (nb::cast<bool>(done.attr("cancelled")()))
            flag->store(true, std::memory_order_relaxed);
    }));
    return answer;
}

// Takes a section route's query parameters with `read_params` and finds its
// section: the error answer when either fails, else an invalid object.
template <typename ReadParams>
nb::object section_request(nb::handle self, nb::handle request, nb::object &section, ReadParams read_params) {
    try {
        read_params(request.attr(state->query));
    } catch (const InvalidQuery &) {
        return invalid_query(self);
    }
    try {
        section = known_section(self, request);
    } catch (const nb::python_error &e) {
        return section_retrieve_failed(self, e);
    }
    return nb::object();
}

}  // namespace

nb::object section_search(nb::handle self_handle, nb::handle request_handle) {
    nb::object self = nb::borrow(self_handle), request = nb::borrow(request_handle);
    Query q;
    long long offset = 0, limit = 0, line = 0, line_start = 0;
    nb::object section;
    nb::object refused = section_request(self, request, section, [&](nb::handle query) {
        q = query_params(query);
        offset = int_param(query, "offset", 0, 0, LLONG_MAX);
        limit = int_param(query, "limit", kDefaultLimit, 1, kMaxLimit);
        line = int_param(query, "line", -1, 0, LLONG_MAX);
        line_start = int_param(query, "line_start", -1, 0, offset);
    });
    if (refused.is_valid())
        return refused;

    auto work = [self, request, section, q, offset, limit, line, line_start](nb::handle cancel) -> nb::object {
        nb::object archive = self.attr(state->archive);
        nb::object search = archive.attr("search");
        nb::object logfile = section.attr("logfile"), log_start = section.attr("log_start"),
                   log_size = section.attr(state->log_size);
        nb::object answer = searcher_call([&] {
            return search(logfile, log_start, log_size, q.text, nb::arg("regex") = q.regex,
                          nb::arg("case") = q.case_sensitive, nb::arg("offset") = offset,
                          nb::arg("line") = line < 0 ? nb::object(nb::none()) : nb::object(nb::int_(line)),
                          nb::arg("line_start") =
                              line_start < 0 ? nb::object(nb::none()) : nb::object(nb::int_(line_start)),
                          nb::arg("limit") = limit, nb::arg("cancel") = cancel);
        });
        nb::dict body;
        body["query"] = q.text;
        body["hits"] = answer["hits"];
        body["next"] = nb::cast<bool>(answer["complete"]) ? nb::object(nb::none())
                                                          : next_link(request, q, answer, limit);
        body["scanned_to"] = answer["scanned_to"];
        return json_answer(self, body, cancel_flag_of(cancel));
    };
    return search_off_loop(self, request, kSectionSearches, work,
                           "Exception encountered when searching the section: ", "SECTION_SEARCH_FAILED");
}

nb::object next_record(nb::handle self_handle, nb::handle request_handle) {
    nb::object self = nb::borrow(self_handle), request = nb::borrow(request_handle);
    long long offset = 0, severity = 0;
    nb::object section;
    nb::object refused = section_request(self, request, section, [&](nb::handle query) {
        offset = int_param(query, "offset", 0, 0, LLONG_MAX);
        severity = int_param(query, "severity", 3, 0, 1000);
    });
    if (refused.is_valid())
        return refused;
    // Bounded by its byte budget, it does not need the cancel flag.
    auto work = [self, request, section, offset, severity](nb::handle) -> nb::object {
        nb::object answer = self.attr(state->archive).attr("next_record_line")(
            section.attr("logfile"), section.attr("log_start"), section.attr(state->log_size),
            nb::arg("offset") = offset, nb::arg("severity") = severity);
        nb::object scanned_to = answer["scanned_to"];
        nb::dict body;
        body["line"] = answer["line"];
        body["next"] = scanned_to.is_none()
                           ? nb::object(nb::none())
                           : nb::object(nb::str("{}?offset={}&severity={}")
                                            .format(request.attr(state->path), scanned_to, severity));
        return json_answer(self, body);
    };
    return search_off_loop(self, request, kSectionSearches, work,
                           "Exception encountered when searching the section: ", "SECTION_SEARCH_FAILED");
}

nb::object job_search(nb::handle self_handle, nb::handle request) {
    nb::object self = nb::borrow(self_handle);
    Query q;
    try {
        q = query_params(request.attr(state->query));
    } catch (const InvalidQuery &) {
        return invalid_query(self);
    }

    auto work = [self, q](nb::handle cancel) -> nb::object {
        CancelFlag flag = cancel_flag_of(cancel);
        nb::object archive = self.attr(state->archive);
        nb::object parser = archive.attr(state->results);
        nb::object get_section = parser.attr(state->get_section);
        // Every section and step in tree order, grouped by the log they lie in.
        nb::list ids;
        nb::dict ranges_by_log;
        auto add = [&](nb::handle record) {
            nb::object id = record["id"];
            nb::object section = get_section(id);
            if (section.is_none())
                return;
            long long start = nb::cast<long long>(section.attr("log_start"));
            long long size = nb::cast<long long>(section.attr(state->log_size));
            nb::object logfile = section.attr("logfile");
            nb::object entry = ranges_by_log.attr("setdefault")(logfile, nb::list());
            entry.attr("append")(nb::make_tuple(start, size > 0 ? start + size : LLONG_MAX / 2, nb::len(ids)));
            ids.append(id);
        };
        for (nb::handle task : parser.attr("scripts")) {
            for (nb::handle section : task.attr("get")("sections")) {
                add(section);
                nb::object steps = section.attr("get")("steps");
                if (PyList_Check(steps.ptr()))
                    for (nb::handle step : steps)
                        add(step);
            }
        }

        std::vector<long long> counts(nb::len(ids), 0);
        bool complete = true;
        // One budget for the whole request, not one per log: each log gets
        // the time left, and the answer stops, incomplete, once it is spent.
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(nb::cast<double>(self.attr("job_search_seconds"))));
        // Sections whose log cannot be read (missing, not a file, outside
        // the archive, a start past its end) are reported, not searched.
        std::vector<char> unreadable(nb::len(ids));
        for (auto [logfile, entries] : ranges_by_log) {
            double left = std::chrono::duration<double>(deadline - Clock::now()).count();
            if (left <= 0 || cancelled(flag)) {
                complete = false;
                break;
            }
            long long log_bytes = -1;
            try {
                nb::object info = state->os_stat(logfile);
                if (nb::cast<bool>(nb::module_::import_("stat").attr("S_ISREG")(info.attr("st_mode"))))
                    log_bytes = nb::cast<long long>(info.attr("st_size"));
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_OSError) && !e.matches(PyExc_ValueError))
                    throw;
            }
            std::vector<tavix::Range> ranges;
            for (nb::handle entry : entries) {
                tavix::Range range{nb::cast<long long>(entry[0]), nb::cast<long long>(entry[1]),
                            nb::cast<size_t>(entry[2])};
                if (log_bytes < 0 || range.start < 0 || range.start > log_bytes)
                    unreadable[range.order] = 1;
                else
                    ranges.push_back(range);
            }
            if (ranges.empty())
                continue;
            std::vector<size_t> searched;
            for (const tavix::Range &range : ranges)
                searched.push_back(range.order);
            std::vector<long long> bounds;
            std::vector<size_t> owners;
            tavix::innermost(std::move(ranges), bounds, owners);
            nb::list bound_list;
            for (long long bound : bounds)
                bound_list.append(bound);
            nb::object count_matches = archive.attr("count_matches");
            nb::object found;
            try {
                found = searcher_call([&] {
                    return count_matches(logfile, bound_list, q.text, nb::arg("regex") = q.regex,
                                         nb::arg("case") = q.case_sensitive, nb::arg("max_seconds") = left,
                                         nb::arg("cancel") = cancel);
                });
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_OSError))
                    throw;
                for (size_t order : searched)
                    unreadable[order] = 1;
                continue;
            }
            size_t i = 0;
            for (nb::handle count : found) {
                if (count.is_none()) {
                    complete = false;
                    break;
                }
                if (owners[i] != SIZE_MAX)
                    counts[owners[i]] += nb::cast<long long>(count);
                ++i;
            }
            if (!complete)
                break;
        }

        long long total = 0;
        nb::list sections;
        for (size_t i = 0; i < counts.size(); ++i) {
            if (!counts[i])
                continue;
            total += counts[i];
            nb::dict entry;
            entry["id"] = ids[i];
            entry["hits"] = counts[i];
            sections.append(entry);
        }
        nb::list unreadable_ids;
        for (size_t i = 0; i < unreadable.size(); ++i)
            if (unreadable[i])
                unreadable_ids.append(ids[i]);
        nb::dict body;
        body["query"] = q.text;
        body["total"] = total;
        body["sections"] = sections;
        if (!complete)
            body["complete"] = false;
        if (nb::len(unreadable_ids))
            body["unreadable"] = unreadable_ids;
        return json_answer(self, body, cancel_flag_of(cancel));
    };
    return search_off_loop(self, request, kJobSearches, work,
                           "Exception encountered when searching the job: ", "JOB_SEARCH_FAILED");
}

nb::dict new_search_state() {
    nb::dict searches;
    searches["pools"] = nb::dict();
    searches["running"] = nb::dict();
    searches["flags"] = nb::set();
    return searches;
}

nb::object stop_searches(nb::handle self, nb::handle) {
    nb::dict searches = search_state(self);
    nb::object flags = searches["flags"], pools = searches["pools"];
    for (nb::handle capsule : nb::list(flags))
        cancel_flag_of(capsule)->store(true, std::memory_order_relaxed);
    for (nb::handle pool : nb::list(pools.attr("values")()))
        pool.attr("shutdown")(nb::arg("wait") = false, nb::arg("cancel_futures") = true);
    return nb::none();
}

nb::object line_query(nb::handle self, nb::handle request) {
    nb::object text = request.attr(state->query).attr(state->get)("text");
    if (text.is_none())
        return invalid_query(self);
    nb::object answer;
    try {
        answer = nb::module_::import_("tavix.log.commands.history.line_query").attr("line_query")(text);
    } catch (const nb::python_error &e) {
        if (!e.matches(PyExc_ValueError))
            throw;
        return invalid_query(self);
    }
    return json_answer(self, answer);
}

}  // namespace tavix::server
