// The device commands of a section: the whole list, or a page of it filtered
// by device and text.
//
// With none of the query parameters `offset`, `limit`, `device` and `q`, the
// answer is the section's whole list of execution objects. With any of them
// it is one page: {"total": the number of matching commands, "offset",
// "executions": at most `limit` of them in order (fewer once their texts take
// 8 MiB), "next": the link to the following page or null}. `device` keeps the
// commands of that device, `q` those whose title or block text holds it,
// ignoring case.
#include "coroutine.hpp"
#include "server.hpp"

#include <cancel_flag.hpp>
#include <logging_fastpath.hpp>
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace tavix::server {

namespace {

constexpr long long kDefaultLimit = 100;
constexpr long long kLargestLimit = 10000;
constexpr Py_ssize_t kLongestFilter = 1000;

struct Paging {
    nb::object offset, limit;
    nb::str device, q;
};

struct BadQuery {
    const char *detail;
};

nb::object whole_number(nb::handle text, const char *detail) {
    try {
        return state->pyint(text);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError))
            throw;
        throw BadQuery{detail};
    }
}

// The paging parameters, or nothing when the request gives none of them.
std::optional<Paging> paging_of(nb::handle request) {
    nb::object query = request.attr(state->query);
    nb::object get = query.attr(state->get);
    nb::object offset = get("offset"), limit = get("limit"), device = get("device"), q = get("q");
    if (offset.is_none() && limit.is_none() && device.is_none() && q.is_none())
        return std::nullopt;
    static const char *kOffsetError = "offset must be a whole number from 0 to 9223372036854775807";
    static const char *kLimitError = "limit must be a whole number from 1 to 10000";
    Paging paging;
    paging.offset = offset.is_none() ? nb::int_(0) : whole_number(offset, kOffsetError);
    if (paging.offset < nb::int_(0) || paging.offset > nb::int_(PY_SSIZE_T_MAX))
        throw BadQuery{kOffsetError};
    paging.limit = limit.is_none() ? nb::int_(kDefaultLimit) : whole_number(limit, kLimitError);
    if (paging.limit < nb::int_(1) || paging.limit > nb::int_(kLargestLimit))
        throw BadQuery{kLimitError};
    paging.device = device.is_none() ? nb::str("") : nb::str(device);
    paging.q = q.is_none() ? nb::str("") : nb::str(q);
    if (nb::len(paging.device) > kLongestFilter)
        throw BadQuery{"device must be at most 1000 characters long"};
    if (nb::len(paging.q) > kLongestFilter)
        throw BadQuery{"q must be at most 1000 characters long"};
    return paging;
}

// Text search ignoring case (str.casefold), by bytes when both sides are ASCII.
class Needle {
public:
    explicit Needle(nb::str text) : folded_(nb::str(text.attr("casefold")())) {
        ascii_ = PyUnicode_IS_ASCII(folded_.ptr());
        if (ascii_)
            bytes_.assign(static_cast<const char *>(PyUnicode_DATA(folded_.ptr())),
                          size_t(PyUnicode_GET_LENGTH(folded_.ptr())));
    }
    bool empty() const { return nb::len(folded_) == 0; }

    bool in(nb::handle text) const {
        if (!text.is_valid() || !PyUnicode_Check(text.ptr()))
            return false;
        if (ascii_ && PyUnicode_IS_ASCII(text.ptr())) {
            const char *hay = (const char *)PyUnicode_DATA(text.ptr());
            size_t size = (size_t)PyUnicode_GET_LENGTH(text.ptr()), n = bytes_.size();
            for (size_t i = 0; i + n <= size; ++i)
                if (strncasecmp(hay + i, bytes_.data(), n) == 0)
                    return true;
            return false;
        }
        nb::object folded = text.attr("casefold")();
        int found = PySequence_Contains(folded.ptr(), folded_.ptr());
        if (found < 0)
            throw nb::python_error();
        return found;
    }

private:
    nb::str folded_;
    bool ascii_;
    std::string bytes_;
};

// A field of an execution as its JSON form has it: the attribute of a stock
// execution, the key of a JSON form already made. Invalid when absent.
nb::object field(nb::handle item, nb::handle json, const char *name) {
    nb::handle source = json.is_valid() ? json : item;
    if (PyDict_Check(source.ptr())) {
        nb::str key(name);
        PyObject *value = PyDict_GetItemWithError(source.ptr(), key.ptr());
        if (!value && PyErr_Occurred())
            throw nb::python_error();
        return value ? nb::borrow(value) : nb::object();
    }
    return optional_attr(source, name);
}

// The items a filter keeps, in order.
nb::list filter_items(nb::handle items, const Paging &paging) {
    static PyObject *to_json = fast::intern("to_json");
    Needle needle(paging.q);
    bool by_device = nb::len(paging.device) > 0;
    nb::list matches;
    for (nb::handle item : items) {
        if (by_device || !needle.empty()) {
            // Filters read the JSON form: made here only when the
            // execution's own to_json is not the stock one.
            nb::object json;
            if (!PyDict_Check(item.ptr()) && !fast::uses_stock(item.ptr(), to_json, state->stock_to_json))
                json = item.attr("to_json")();
            if (by_device) {
                nb::object device = field(item, json, "device");
                if (!device.is_valid() || !device.equal(paging.device))
                    continue;
            }
            if (!needle.empty() && !needle.in(field(item, json, "title")) &&
                !needle.in(field(item, json, "logs")))
                continue;
        }
        matches.append(item);
    }
    return matches;
}

// What a filter of a stock section's commands kept, held with them by the
// scan cache: paging through a filtered list of a million commands filters
// it once, not once per page.
nb::list remembered_filter(nb::handle section, nb::handle scanned, const Paging &paging) {
    nb::object items = scanned.attr("values")();
    nb::object compute = nb::cpp_function([items, paging]() { return filter_items(items, paging); });
    return nb::borrow<nb::list>(
        state->scan_cache.attr("filtered")(section, nb::make_tuple(paging.device, paging.q), compute));
}

// The JSON forms of the page the paging cuts from `matches`.
nb::list page_of(nb::handle matches, const Paging &paging) {
    Py_ssize_t offset = nb::cast<Py_ssize_t>(paging.offset), limit = nb::cast<Py_ssize_t>(paging.limit);
    Py_ssize_t total = PyList_GET_SIZE(matches.ptr());
    nb::list page;
    for (Py_ssize_t index = offset; index < total && index - offset < limit; ++index) {
        nb::handle item = PyList_GET_ITEM(matches.ptr(), index);
        page.append(PyDict_Check(item.ptr()) ? nb::borrow(item) : nb::object(item.attr("to_json")()));
    }
    return page;
}

// The answer for `page`, a page of the `total` commands the filters keep.
nb::object executions_page(nb::handle self, nb::handle request, const Paging &paging, nb::list page,
                           Py_ssize_t total) {
    Needle needle(paging.q);
    bool by_device = nb::len(paging.device) > 0;
    Py_ssize_t offset = nb::cast<Py_ssize_t>(paging.offset), limit = nb::cast<Py_ssize_t>(paging.limit);
    // A page may end early (its texts reached their budget): the next one
    // starts after its last command.
    Py_ssize_t following = offset + std::max<Py_ssize_t>(1, PyList_GET_SIZE(page.ptr()));
    nb::object next = nb::none();
    if (total > following) {
        nb::str link = nb::str("{}?offset={}&limit={}").format(request.attr(state->path), following, limit);
        if (by_device)
            link = nb::str(link + nb::str("&device=") + nb::str(state->url_quote(paging.device, "")));
        if (!needle.empty())
            link = nb::str(link + nb::str("&q=") + nb::str(state->url_quote(paging.q, "")));
        next = link;
    }
    nb::dict body;
    body["total"] = total;
    body["offset"] = paging.offset;
    body["executions"] = page;
    body["next"] = next;
    return json_answer(self, body);
}

constexpr const char *kMessage = "Exception encountered when retrieving executions of section: ";
constexpr const char *kDetail = "EXECUTION_RETRIEVE_FAILED";

// The answer from a stock section's table, made in a worker thread: a page
// (filtering a million commands reads their texts from the log, once, and
// the filter is kept with the table) or the whole list. A client that goes
// away stops the filtering.
nb::object answer_from_table(nb::handle self, nb::handle request, nb::handle table,
                             const std::optional<Paging> &paging) {
    nb::object server = nb::borrow(self), held = nb::borrow(request), rows = nb::borrow(table);
    CancelFlag flag = std::make_shared<std::atomic<bool>>(false);
    nb::object cancel = cancel_capsule(flag);
    nb::object answer = off_loop(
        [rows, paging, cancel]() -> nb::object {
            if (!paging)
                return rows.attr("json_list")();
            return rows.attr("page")(paging->offset, paging->limit, paging->device, paging->q, cancel);
        },
        [server, held, paging](nb::handle done) {
            return answer_or_report(
                server,
                [&] {
                    nb::object result = done.attr("result")();
                    if (!paging)
                        return json_answer(server, result);
                    nb::tuple counted = nb::cast<nb::tuple>(result);
                    return executions_page(server, held, *paging, nb::borrow<nb::list>(counted[1]),
                                           nb::cast<Py_ssize_t>(counted[0]));
                },
                kMessage, kDetail);
        });
    answer.attr("add_done_callback")(nb::cpp_function([flag](nb::handle done) {
        if (nb::cast<bool>(done.attr("cancelled")()))
            flag->store(true, std::memory_order_relaxed);
    }));
    return answer;
}

}  // namespace

nb::object executions(nb::handle self, nb::handle request) {
    std::optional<Paging> paging;
    try {
        paging = paging_of(request);
    } catch (const BadQuery &bad) {
        return error_answer(self, bad.detail);
    }
    return answer_or_report(
        self,
        [&] {
            nb::object uuid = request.attr(state->match_info)["section_uuid"];
            nb::object section = self.attr(state->archive).attr(state->results).attr(state->get_section)(uuid);
            nb::object all_executions = section.attr("all_executions");  // none for an unknown id
            find_stock_pieces();
            // The scan runs off the loop; the answer is made from the scan's
            // table (or dictionary) while the section's pieces are the stock ones.
            bool stock = uses_stock(section, "all_executions", state->stock_all_executions) &&
                         uses_stock(section, "child_execute", state->stock_child_execute);
            nb::object self_ = nb::borrow(self), request_ = nb::borrow(request);
            return after_scan(self, section, [=](nb::handle done) {
                return answer_or_report(
                    self_,
                    [&] {
                        nb::object scanned = done.attr("result")();
                        if (stock && nb::isinstance(scanned, state->execution_table))
                            return answer_from_table(self_, request_, scanned, paging);
                        nb::object items = stock ? nb::object(scanned.attr("values")())
                                                 : nb::object(all_executions());
                        if (paging) {
                            nb::list matches = stock ? remembered_filter(section, scanned, *paging)
                                                     : filter_items(items, *paging);
                            return executions_page(self_, request_, *paging, page_of(matches, *paging),
                                                   PyList_GET_SIZE(matches.ptr()));
                        }
                        if (!stock)
                            return json_answer(self_, items);
                        nb::list whole;
                        for (nb::handle execute : items)
                            whole.append(execute.attr("to_json")());
                        return json_answer(self_, whole);
                    },
                    kMessage, kDetail);
            });
        },
        kMessage, kDetail);
}

}  // namespace tavix::server
