#include "bindings.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cancel_flag.hpp>

#include <algorithm>
#include <cerrno>

#include "inflate_points.hpp"

namespace tavix::run_search {

void register_error_translators() {
    nb::register_exception_translator([](const std::exception_ptr &thrown, void *) {
        try {
            std::rethrow_exception(thrown);
        } catch (const ZipFormatError &e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const SourceError &e) {
            if (e.error_number) {
                errno = e.error_number;
                PyErr_SetFromErrnoWithFilename(PyExc_OSError, e.what());
            } else {
                PyErr_SetString(PyExc_OSError, e.what());
            }
        } catch (const Cancelled &e) {
            nb::object error = nb::module_::import_("concurrent.futures").attr("CancelledError");
            PyErr_SetString(error.ptr(), e.what());
        }
    });
}

namespace {

ZipMember member_named(ByteSource &source, const std::string &name) {
    return read_zip_members(source, std::vector<std::string>{name}).front();
}

nb::dict counters_of(const InflateCounters &counters) {
    nb::dict answer;
    answer["compressed_bytes_read"] = counters.compressed_bytes_read;
    answer["bytes_inflated"] = counters.bytes_inflated;
    return answer;
}

nb::list zip_members(nb::handle source_object, nb::handle names) {
    std::unique_ptr<ByteSource> source = source_of(source_object);
    bool all = names.is_none();
    std::vector<std::string> wanted = all ? std::vector<std::string>() : nb::cast<std::vector<std::string>>(names);
    std::vector<ZipMember> members;
    {
        nb::gil_scoped_release release;
        members = all ? read_zip_members(*source) : read_zip_members(*source, wanted);
    }
    nb::list answer;
    for (const ZipMember &member : members) {
        nb::dict entry;
        entry["name"] = member.name;
        entry["data_offset"] = member.data_offset;
        entry["compressed_size"] = member.compressed_size;
        entry["size"] = member.size;
        entry["crc32"] = member.crc32;
        entry["method"] = member.method;
        entry["flags"] = member.flags;
        answer.append(entry);
    }
    return answer;
}

nb::dict inflate_points(nb::handle source_object, const std::string &name, uint64_t span, bool keep_output,
                         nb::handle cancel) {
    std::unique_ptr<ByteSource> source = source_of(source_object);
    CancelFlag flag = cancel_flag_of(cancel);
    std::string output, serialised;
    std::vector<AccessPoint> points;
    std::vector<size_t> pieces;
    InflateCounters counters;
    {
        nb::gil_scoped_release release;
        ZipMember member = member_named(*source, name);
        stream_member(
            *source, member, span,
            [&](const char *data, size_t size) {
                pieces.push_back(size);
                if (keep_output)
                    output.append(data, size);
            },
            [&](AccessPoint &&point) { points.push_back(std::move(point)); }, flag.get(), &counters);
        write_access_points(serialised, points);
    }
    nb::list listed;
    for (const AccessPoint &point : points)
        listed.append(nb::make_tuple(point.out_offset, point.in_offset, point.bits, point.packed_window.size()));
    nb::dict answer;
    answer["output"] = nb::bytes(output.data(), output.size());
    answer["points"] = listed;
    answer["serialised"] = nb::bytes(serialised.data(), serialised.size());
    answer["largest_piece"] = pieces.empty() ? 0 : *std::max_element(pieces.begin(), pieces.end());
    answer["counters"] = counters_of(counters);
    return answer;
}

nb::dict read_range(nb::handle source_object, const std::string &name, nb::bytes serialised, uint64_t begin,
                    uint64_t end, nb::handle cancel) {
    std::unique_ptr<ByteSource> source = source_of(source_object);
    CancelFlag flag = cancel_flag_of(cancel);
    std::string output;
    InflateCounters counters;
    size_t trailing = 0;
    {
        nb::gil_scoped_release release;
        std::string_view in(serialised.c_str(), serialised.size());
        std::vector<AccessPoint> points = read_access_points(in);
        trailing = in.size();
        ZipMember member = member_named(*source, name);
        read_member_range(
            *source, member, points, begin, end, [&](const char *data, size_t size) { output.append(data, size); },
            flag.get(), &counters);
    }
    nb::dict answer;
    answer["output"] = nb::bytes(output.data(), output.size());
    answer["trailing"] = trailing;
    answer["counters"] = counters_of(counters);
    return answer;
}

}  // namespace

void define_inflate_testing_hooks(nb::module_ &m) {
    m.def("_zip_members_for_tests", &zip_members, nb::arg("source"), nb::arg("names").none() = nb::none(),
          "Test hook: the zip's members (or those named, in that order) as the native reader finds them.");
    m.def("_inflate_points_for_tests", &inflate_points, nb::arg("source"), nb::arg("name"), nb::arg("span"),
          nb::arg("keep_output") = true, nb::arg("cancel").none() = nb::none(),
          "Test hook: streams a member, keeping an access point every `span` bytes; ({\"output\", \"points\" "
          "(out, in, bits, packed window size), \"serialised\", \"largest_piece\", \"counters\"}.");
    m.def("_read_member_range_for_tests", &read_range, nb::arg("source"), nb::arg("name"), nb::arg("points"),
          nb::arg("begin"), nb::arg("end"), nb::arg("cancel").none() = nb::none(),
          "Test hook: bytes [begin, end) of a member read from serialised access points; "
          "{\"output\", \"trailing\" (bytes after the points), \"counters\"}.");
}

}  // namespace tavix::run_search
