// Access to a viewer for its own user only.
//
// Run archives hold device configurations, addresses and credentials, and
// any page open in the same browser can send requests to a local server.
// With an access token the server answers its data only to requests that
// carry the token in an Authorization header, or the cookie the entry page
// trades it for while the browser says the request comes from the viewer's
// own pages, and only to requests addressed to this machine by a name no
// foreign DNS can re-point (which keeps rebinding sites out). Cookies do not
// tell ports apart, so every server on localhost receives the cookie: it
// holds a secret derived from the token, never the token, and expires.
// Archive reports are sent sandboxed, so their scripts run in an origin of
// their own and cannot read the viewer's routes.
#include <class_builder.hpp>
#include <py_helpers.hpp>

#include <nanobind/stl/string.h>

#include <algorithm>
#include <ctime>
#include <vector>
#include <string>
#include <string_view>

#include "coroutine.hpp"
#include "server.hpp"

namespace tavix::server {

namespace {

// Names by which a browser on this machine reaches it, whatever the DNS says.
constexpr const char *kLocalHosts[] = {"localhost", "127.0.0.1", "::1"};

// The routes open to anyone: the entry page, which must load before the
// token can be traded, and the front end's own files. Every other route,
// whoever adds it, needs the token.
constexpr const char *kOpenRoutes[] = {"index", "static"};

constexpr const char *kTokenParameter = "token";
constexpr const char *kCookiePrefix = "tavix_viewer_";
// How long the access cookie lasts, in seconds; the URL with the token opens
// the viewer again after that.
constexpr long long kCookieSeconds = 24 * 60 * 60;
// Cookies of other viewers kept in the browser besides a viewer's own: the
// most recently issued ones, for viewers of several runs open side by side.
// Older ones (and those of earlier versions, which held the token itself)
// are cleared, so they never add up to a request header the size of a
// server's limit.
constexpr size_t kOtherViewersKept = 8;
constexpr const char *kReportPolicy = "sandbox allow-scripts allow-popups";

nb::handle guard_class;  // kept for the process lifetime

// A new dict with the items of `mapping`.
nb::object copy_of(nb::handle mapping) {
    return nb::handle(reinterpret_cast<PyObject *>(&PyDict_Type))(mapping);
}

// The UTF-8 bytes of a text, or nothing for one that has none (lone
// surrogates, as undecodable header bytes become).
bool utf8_of(nb::handle text, std::string_view &bytes) {
    Py_ssize_t size = 0;
    if (!PyUnicode_Check(text.ptr()))
        return false;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
            throw nb::python_error();
        PyErr_Clear();
        return false;
    }
    bytes = std::string_view(data, size);
    return true;
}

// Compares in a time that depends on the lengths only, so that the timing
// of an answer tells nothing about how much of a guess was right.
bool same_token(std::string_view given, std::string_view token) {
    if (given.size() != token.size())
        return false;
    volatile unsigned char difference = 0;
    for (size_t i = 0; i < token.size(); ++i)
        difference = difference | static_cast<unsigned char>(given[i] ^ token[i]);
    return difference == 0;
}

bool same_token(nb::handle given, nb::handle token) {
    std::string_view a, b;
    return !given.is_none() && utf8_of(given, a) && utf8_of(token, b) && same_token(a, b);
}

std::string_view trimmed(std::string_view text) {
    size_t start = text.find_first_not_of(" \t");
    if (start == std::string_view::npos)
        return {};
    return text.substr(start, text.find_last_not_of(" \t") - start + 1);
}

// The value of the cookie `name` in a Cookie header ("a=1; b=2"), unquoted.
bool cookie_value(std::string_view header, std::string_view name, std::string_view &value) {
    for (size_t start = 0; start <= header.size();) {
        size_t end = std::min(header.find(';', start), header.size());
        std::string_view pair = trimmed(header.substr(start, end - start));
        if (pair.size() > name.size() && pair.substr(0, name.size()) == name &&
            pair[name.size()] == '=') {
            value = trimmed(pair.substr(name.size() + 1));
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                value = value.substr(1, value.size() - 2);
            return true;
        }
        start = end + 1;
    }
    return false;
}

// The credentials of an Authorization header "Bearer <token>" (the scheme
// is case-insensitive).
bool bearer_value(std::string_view header, std::string_view &value) {
    constexpr std::string_view scheme = "bearer";
    header = trimmed(header);
    if (header.size() <= scheme.size() ||
        (header[scheme.size()] != ' ' && header[scheme.size()] != '\t'))
        return false;
    for (size_t i = 0; i < scheme.size(); ++i)
        if ((header[i] | 0x20) != scheme[i])
            return false;
    value = trimmed(header.substr(scheme.size()));
    return true;
}

// The host name of a Host header value, lower-cased and without its port:
// "[::1]:8080" gives "::1", "Viewer.Example:80" gives "viewer.example".
std::string host_name(std::string_view value) {
    std::string_view name = value;
    if (!name.empty() && name.front() == '[') {
        size_t end = name.find(']');
        name = end == std::string_view::npos ? std::string_view() : name.substr(1, end - 1);
    } else if (size_t colon = name.rfind(':');
               colon != std::string_view::npos && name.find(':') == colon) {
        name = name.substr(0, colon);
    }
    std::string lower(name);
    for (char &c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

bool host_allowed(nb::handle guard, nb::handle request) {
    nb::object value = request.attr(state->headers).attr(state->get)("Host");
    // Browsers always send a Host; a request without one is not a page's.
    if (value.is_none())
        return true;
    std::string_view text;
    if (!utf8_of(value, text))
        return false;
    nb::str name(host_name(text).c_str());
    int known = PySet_Contains(nb::object(guard.attr("_hosts")).ptr(), name.ptr());
    if (known < 0)
        throw nb::python_error();
    if (known)
        return true;
    // The address the connection came in on names this machine too (a
    // server listening on all interfaces is reached by any of them).
    nb::object transport = request.attr("transport");
    if (transport.is_none())
        return false;
    nb::object local = transport.attr("get_extra_info")("sockname");
    return PyTuple_Check(local.ptr()) && nb::len(local) > 0 && name.equal(nb::str(local[0]));
}

bool under_prefix(nb::handle guard, nb::handle request) {
    nb::object prefix_text = guard.attr("_url_prefix"), path_text = request.attr(state->path);
    std::string_view prefix, path;
    if (!utf8_of(prefix_text, prefix) || prefix.empty())
        return false;
    if (!utf8_of(path_text, path))
        return true;  // not readable, so not known to lie outside
    return path.substr(0, prefix.size()) == prefix &&
           (path.size() == prefix.size() || path[prefix.size()] == '/');
}

bool open_route(nb::handle route_name) {
    if (route_name.is_none())
        return false;
    for (const char *name : kOpenRoutes)
        if (route_name.equal(nb::str(name)))
            return true;
    return false;
}

// The browser's word that a request comes from a page of the viewer itself
// or from the user (typed address, bookmark): only then does the cookie
// count. Pages of other ports of localhost are "same-site" and send the
// cookie too.
bool from_own_origin(nb::handle headers) {
    nb::object site = headers.attr(state->get)("Sec-Fetch-Site");
    std::string_view text;
    return !site.is_none() && utf8_of(site, text) && (text == "same-origin" || text == "none");
}

// The issue time of a cookie value "<seconds>.<mac>", or -1 when the value
// has another shape.
long long issued_at(std::string_view value) {
    size_t dot = value.find('.');
    if (dot == std::string_view::npos || dot == 0 || dot > 12)
        return -1;
    long long seconds = 0;
    for (char c : value.substr(0, dot)) {
        if (c < '0' || c > '9')
            return -1;
        seconds = seconds * 10 + (c - '0');
    }
    return seconds;
}

long long now_seconds() { return static_cast<long long>(std::time(nullptr)); }

// The cookie value for a token issued at `seconds`: the time and a MAC of it
// keyed with the token, so that the value gives nothing towards the token.
std::string cookie_secret(nb::handle token, long long seconds) {
    std::string issued = std::to_string(seconds);
    nb::object mac = nb::module_::import_("hmac").attr("new")(
        token.attr("encode")(), nb::bytes(("tavix viewer cookie " + issued).c_str()), "sha256");
    std::string digest = nb::cast<std::string>(mac.attr("hexdigest")());
    return issued + "." + digest;
}

bool valid_cookie(nb::handle guard, std::string_view value) {
    long long issued = issued_at(value);
    long long now = now_seconds();
    if (issued < 0 || issued > now + 60 || now - issued >= kCookieSeconds)
        return false;
    nb::object token = guard.attr("_token");
    return same_token(value, cookie_secret(token, issued));
}

bool carries_token(nb::handle guard, nb::handle request) {
    nb::object headers = request.attr(state->headers);
    nb::object cookies = headers.attr(state->get)("Cookie");
    nb::object authorization = headers.attr(state->get)("Authorization");
    nb::object token_text = guard.attr("_token"), name_text = guard.attr("_cookie_name");
    std::string_view token, name, header, given;
    utf8_of(token_text, token);
    utf8_of(name_text, name);
    bool by_cookie = !cookies.is_none() && from_own_origin(headers) && utf8_of(cookies, header) &&
                     cookie_value(header, name, given) && valid_cookie(guard, given);
    std::string_view bearer;
    bool by_header = !authorization.is_none() && utf8_of(authorization, header) &&
                     bearer_value(header, bearer) && same_token(bearer, token);
    return by_cookie || by_header;
}

// The cookies of other viewers that `request` carries beyond the
// kOtherViewersKept most recently issued, and those of another shape.
std::vector<std::string> stale_cookies(nb::handle guard, nb::handle request) {
    std::vector<std::string> stale;
    nb::object cookies = request.attr(state->headers).attr(state->get)("Cookie");
    std::string_view header;
    if (cookies.is_none() || !utf8_of(cookies, header))
        return stale;
    nb::object own_text = guard.attr("_cookie_name");
    std::string_view own, prefix = kCookiePrefix;
    utf8_of(own_text, own);
    std::vector<std::pair<long long, std::string_view>> others;
    for (size_t start = 0; start <= header.size();) {
        size_t end = std::min(header.find(';', start), header.size());
        std::string_view pair = trimmed(header.substr(start, end - start));
        start = end + 1;
        size_t equals = pair.find('=');
        std::string_view name = trimmed(pair.substr(0, equals));
        if (name.substr(0, prefix.size()) != prefix || name == own)
            continue;
        std::string_view value;
        if (equals != std::string_view::npos)
            value = trimmed(pair.substr(equals + 1));
        others.emplace_back(issued_at(value), name);
    }
    std::stable_sort(others.begin(), others.end(),
                     [](const auto &a, const auto &b) { return a.first > b.first; });
    for (size_t i = 0; i < others.size(); ++i)
        if (i >= kOtherViewersKept || others[i].first < 0)
            stale.emplace_back(others[i].second);
    return stale;
}

// Sets Max-Age=0 on `response` for each cookie of `names`.
nb::object cleared(nb::handle response, const std::vector<std::string> &names) {
    nb::object del_cookie = response.attr("del_cookie");
    for (const std::string &name : names)
        del_cookie(nb::str(name.data(), name.size()), nb::arg("path") = "/");
    return nb::borrow(response);
}

nb::object denied(nb::handle request, const char *reason) {
    debug_lines(nb::str("Access denied to {}: {}").format(request.attr(state->path), reason),
                nullptr);
    nb::dict body;
    body["detail"] = "ACCESS_DENIED";
    return state->json_response(body, nb::arg("status") = 403,
                                nb::arg("headers") = default_header(request.attr("app")));
}

// The entry page's answer to a right token: the cookie, and the same address
// without the token, so that it stays out of the address bar, the history
// and bookmarks.
nb::object entry_redirect(nb::handle guard, nb::handle request) {
    nb::list kept;
    for (nb::handle item : request.attr(state->query).attr("items")())
        if (!item[0].equal(nb::str(kTokenParameter)))
            kept.append(item);
    nb::object location = request.attr("rel_url").attr("with_query")(kept);
    nb::object headers = copy_of(default_header(request.attr("app")));
    headers["Location"] = nb::str(location);
    headers["Cache-Control"] = "no-store";
    nb::object response = state->response(nb::arg("status") = 302, nb::arg("headers") = headers);
    std::string secret = cookie_secret(nb::object(guard.attr("_token")), now_seconds());
    response.attr("set_cookie")(nb::object(guard.attr("_cookie_name")), nb::str(secret.c_str()),
                                nb::arg("max_age") = kCookieSeconds, nb::arg("httponly") = true,
                                nb::arg("samesite") = "Strict", nb::arg("path") = "/");
    return response;
}

[[noreturn]] void raise_value_error(const char *message) {
    PyErr_SetString(PyExc_ValueError, message);
    throw nb::python_error();
}

void guard_init(nb::handle self, nb::handle token, nb::handle url_prefix, nb::handle hosts) {
    if (!PyUnicode_Check(token.ptr()) || nb::len(token) == 0)
        raise_value_error("access_token must be a non-empty str");
    nb::set names;
    for (const char *name : kLocalHosts)
        names.add(nb::str(name));
    for (nb::handle name : hosts)
        names.add(nb::str(name).attr("lower")());
    // One cookie per token: viewers of several runs open in one browser
    // each keep their own (cookies do not tell ports apart).
    nb::object digest = nb::module_::import_("hashlib")
                            .attr("sha256")(token.attr("encode")())
                            .attr("hexdigest")();
    self.attr("_token") = token;
    self.attr("_url_prefix") = nb::str(url_prefix);
    self.attr("_hosts") = nb::frozenset(names);
    self.attr("_cookie_name") = nb::str(kCookiePrefix) + nb::str("{:.16}").format(digest);
}

nb::object guard_call(nb::handle self, nb::handle request, nb::handle handler) {
    if (!host_allowed(self, request))
        return ready_result(denied(request, "not addressed to this machine"));
    nb::object route_name = request.attr(state->match_info).attr("route").attr("name");
    if (!open_route(route_name) || under_prefix(self, request)) {
        if (!carries_token(self, request))
            return ready_result(denied(request, "no valid access token"));
    } else if (route_name.equal(nb::str("index"))) {
        // The entry page clears the cookies of viewers long gone.
        std::vector<std::string> stale = stale_cookies(self, request);
        nb::object given = request.attr(state->query).attr(state->get)(kTokenParameter);
        if (same_token(given, nb::object(self.attr("_token"))))
            return ready_result(cleared(entry_redirect(self, request), stale));
        if (!stale.empty()) {
            nb::object page = nb::module_::import_("asyncio").attr("ensure_future")(handler(request));
            return then(page, [stale](nb::handle done) { return cleared(done.attr("result")(), stale); });
        }
    }
    return handler(request);
}

}  // namespace

void define_access_guard(nb::module_ &m) {
    nb::object object = nb::module_::import_("builtins").attr("object");
    guard_class = ClassBuilder(m, "AccessGuard", {object})
                      .doc("aiohttp middleware that lets in only requests carrying the access "
                           "token and addressed to this machine.\n\n"
                           "The entry page's ?token= is traded for a cookie; other routes take "
                           "that cookie or an 'Authorization: Bearer' header. The entry page and "
                           "the static files need no token. `hosts` adds Host names to the "
                           "local ones.")
                      .attr("__middleware_version__", nb::int_(1))
                      .method("__init__", &guard_init, nb::arg("token").none(),
                              nb::arg("url_prefix"), nb::arg("hosts") = nb::tuple())
                      .method("__call__", &guard_call, nb::arg("request"), nb::arg("handler"))
                      .build()
                      .release();
}

void install_access_guard(nb::handle self, nb::handle url_prefix, nb::handle access_token,
                          nb::handle access_hosts) {
    self.attr("access_token") = access_token;
    if (access_token.is_none())
        return;
    // First in the list: it runs before any middleware given by the caller.
    self.attr("middlewares").attr("insert")(0, guard_class(access_token, url_prefix, access_hosts));
}

nb::object report_headers(nb::handle self, nb::handle path) {
    nb::object headers = default_header(self);
    if (nb::object(self.attr("access_token")).is_none() ||
        !truthy(nb::str(path).attr("lower")().attr("endswith")(".html")))
        return headers;
    nb::object sandboxed = copy_of(headers);
    sandboxed["Content-Security-Policy"] = kReportPolicy;
    return sandboxed;
}

}  // namespace tavix::server
