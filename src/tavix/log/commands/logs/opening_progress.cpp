// The progress of opening an archive, on standard error while it is a
// terminal: the extraction's bytes, percentage and rate, then the results
// file read and its sections, and at last how long the opening took.
#include "common.hpp"

namespace tavix::logs {

struct OpeningProgress::Shown {
    nb::object line;                   // a ProgressLine
    nb::object sections = nb::none();  // the last count of sections reported
};

namespace {

void show(OpeningProgress::Shown &shown, const nb::str &stage, nb::handle done, nb::handle total) {
    if (stage.equal(nb::str("extracting"))) {
        shown.line.attr("transfer")("Extracting", done, total);
    } else if (stage.equal(nb::str("reading"))) {
        shown.line.attr("transfer")("Reading results", done, total);
    } else if (stage.equal(nb::str("parsing"))) {
        shown.sections = nb::borrow(done);
        shown.line.attr("show")(nb::str("Reading results: {:,} sections").format(done));
    }
    // Stages added later are not shown.
}

}  // namespace

OpeningProgress::OpeningProgress() : shown_(std::make_shared<Shown>()) {
    shown_->line = state().progress_line();
}

bool OpeningProgress::active() const { return truthy(shown_->line.attr("active")); }

nb::object OpeningProgress::observer() const {
    std::shared_ptr<Shown> shown = shown_;
    return nb::cpp_function([shown](nb::str stage, nb::handle done, nb::handle total) {
        show(*shown, stage, done, total);
    }, nb::arg("stage"), nb::arg("done").none(), nb::arg("total").none());
}

void OpeningProgress::erase() const { shown_->line.attr("clear")(); }

void OpeningProgress::tell_opened() const {
    Shown &shown = *shown_;
    nb::str took = nb::str("{:.1f} s").format(shown.line.attr("elapsed")());
    nb::str text = shown.sections.is_none()
                       ? nb::str("    (opened in {})\n").format(took)
                       : nb::str("    (opened in {}, {:,} sections)\n").format(took, shown.sections);
    nb::object stream = shown.line.attr("stream");
    stream.attr("write")(text);
    stream.attr("flush")();
}

}  // namespace tavix::logs
