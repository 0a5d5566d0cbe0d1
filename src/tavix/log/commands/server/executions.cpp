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
#include <lock_offer.hpp>

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

// The answer for `page`, a page of the `total` commands the filters keep.
nb::object executions_page(nb::handle self, nb::handle request, const Paging &paging, nb::list page,
                           Py_ssize_t total) {
    bool by_device = nb::len(paging.device) > 0, by_text = nb::len(paging.q) > 0;
    Py_ssize_t offset = nb::cast<Py_ssize_t>(paging.offset), limit = nb::cast<Py_ssize_t>(paging.limit);
    // A page may end early (its texts reached their budget): the next one
    // starts after its last command.
    Py_ssize_t following = offset + std::max<Py_ssize_t>(1, PyList_GET_SIZE(page.ptr()));
    nb::object next = nb::none();
    if (total > following) {
        nb::str link = nb::str("{}?offset={}&limit={}").format(request.attr(state->path), following, limit);
        if (by_device)
            link = nb::str(link + nb::str("&device=") + nb::str(state->url_quote(paging.device, "")));
        if (by_text)
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

// The JSON text json.dumps gives for the list `whole`, as bytes, made a
// slice at a time with the interpreter lock offered in between: a list of a
// million commands takes a second to write, and the event loop answers other
// requests meanwhile. Stops with RuntimeError once `cancel` is set.
nb::object dumped_whole(nb::handle whole, const CancelFlag &cancel) {
    constexpr Py_ssize_t kSlice = 1024;
    if (!PyList_Check(whole.ptr()))
        return nb::str(state->dumps(whole)).attr("encode")();
    std::string text = "[";
    LockOffer offer(1);
    for (Py_ssize_t from = 0, count = PyList_GET_SIZE(whole.ptr()); from < count; from += kSlice) {
        offer();
        nb::object dumped;
        {
            nb::object slice = nb::steal(PyList_GetSlice(whole.ptr(), from, std::min(count, from + kSlice)));
            if (!slice.is_valid())
                throw nb::python_error();
            dumped = state->dumps(slice);
        }
        Py_ssize_t size;
        const char *bytes = PyUnicode_AsUTF8AndSize(dumped.ptr(), &size);
        if (!bytes)
            throw nb::python_error();
        {
            nb::gil_scoped_release unlocked;
            if (from)
                text += ", ";
            text.append(bytes + 1, size_t(size) - 2);  // without its brackets
        }
        // Held by no one else, the forms written go now, a slice at a time:
        // freeing a million of them at once would hold the lock for long.
        if (Py_REFCNT(whole.ptr()) == 1)
            for (Py_ssize_t i = from, end = std::min(count, from + kSlice); i < end; ++i) {
                Py_INCREF(Py_None);
                if (PyList_SetItem(whole.ptr(), i, Py_None) < 0)
                    throw nb::python_error();
            }
        if (cancelled(cancel)) {
            PyErr_SetString(PyExc_RuntimeError, "list stopped: no request waits for it any more");
            throw nb::python_error();
        }
    }
    text += "]";
    PyObject *body = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(text.size()));
    if (!body)
        throw nb::python_error();
    {
        nb::gil_scoped_release unlocked;
        std::memcpy(PyBytes_AS_STRING(body), text.data(), text.size());
    }
    return nb::steal(body);
}

// A JSON body sent a slice at a time: written at once, the whole list's
// tens of megabytes would be copied into the transport's buffer on the loop,
// holding it up for a fifth of a second. The answer is the same, its
// Content-Length included.
nb::object sliced_body(nb::handle bytes) {
    static nb::object *payload_class = [] {
        nb::dict scope;
        scope["BytesPayload"] = nb::module_::import_("aiohttp.payload").attr("BytesPayload");
        nb::module_::import_("builtins")
            .attr("exec")("class SlicedPayload(BytesPayload):\n"
                          "    async def write(self, writer):\n"
                          "        view = memoryview(self._value)\n"
                          "        for at in range(0, len(view), 1 << 20):\n"
                          "            await writer.write(view[at:at + (1 << 20)])\n",
                          scope);
        return new nb::object(scope["SlicedPayload"]);  // kept for the process lifetime
    }();
    return (*payload_class)(bytes);
}

// The answer from the section's commands, made in a worker thread: a page
// (filtering a million commands reads their texts once; the filter is kept)
// or the whole list, written there too. A client that goes away stops it.
nb::object answer_from(nb::handle self, nb::handle request, nb::handle commands,
                       const std::optional<Paging> &paging) {
    nb::object server = nb::borrow(self), held = nb::borrow(request), section = nb::borrow(commands);
    CancelFlag flag = std::make_shared<std::atomic<bool>>(false);
    nb::object cancel = cancel_capsule(flag);
    nb::object answer = off_loop(
        [section, paging, cancel, flag]() -> nb::object {
            if (!paging)
                return dumped_whole(section.attr("whole")(cancel), flag);
            return section.attr("page")(paging->offset, paging->limit, paging->device, paging->q, cancel);
        },
        [server, held, paging](nb::handle done) {
            return answer_or_report(
                server,
                [&] {
                    nb::object result = done.attr("result")();
                    if (!paging)
                        return state->response(nb::arg("body") = sliced_body(result),
                                               nb::arg("content_type") = "application/json",
                                               nb::arg("charset") = "utf-8",
                                               nb::arg("headers") = default_header(server));
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
            nb::object self_ = nb::borrow(self), request_ = nb::borrow(request);
            // The scan runs off the loop, and so does the answer made from it.
            return after_scan(self, section, [=](nb::handle done) {
                return answer_or_report(
                    self_, [&] { return answer_from(self_, request_, done.attr("result")(), paging); },
                    kMessage, kDetail);
            });
        },
        kMessage, kDetail);
}

}  // namespace tavix::server
