#include "pike_vm.hpp"

#include <algorithm>
#include <utility>

namespace tavix::search {

PikeVM::PikeVM(const Program &program) : program_(program) {
    size_t count = program.insts.size();
    current_.sparse.assign(count, 0);
    next_.sparse.assign(count, 0);
    current_.dense.reserve(count);
    next_.dense.reserve(count);

    // Every instruction the start reaches without consuming a byte, taking
    // every assertion as true: the first bytes of all matches.
    std::vector<bool> seen(count, false);
    std::vector<uint32_t> stack{program.start};
    bool few = true, empty = false;
    std::vector<bool> bytes(256, false);
    while (!stack.empty() && few && !empty) {
        uint32_t pc = stack.back();
        stack.pop_back();
        if (seen[pc])
            continue;
        seen[pc] = true;
        const Inst &inst = program.insts[pc];
        if (inst.op == Inst::Split) {
            stack.push_back(inst.out);
            stack.push_back(inst.out1);
        } else if (inst.op == Inst::Assert) {
            stack.push_back(inst.out);
        } else if (inst.op == Inst::Match) {
            empty = true;
        } else {
            for (int b = inst.lo; b <= inst.hi && few; ++b)
                if (!bytes[b]) {
                    bytes[b] = true;
                    if (first_bytes_.count == 4)
                        few = false;
                    else
                        first_bytes_.bytes[first_bytes_.count++] = (unsigned char)b;
                }
        }
    }
    skips_ = few && !empty && first_bytes_.count > 0;
}

bool PikeVM::holds(Assertion assertion, const Span &span, size_t at) const {
    switch (assertion) {
        case Assertion::LineStart:
            return at == 0 && span.starts_line;
        case Assertion::LineEnd:
            return at == span.size && span.ends_line;
        case Assertion::WordBoundary:
        case Assertion::NotWordBoundary: {
            bool left = at > 0 ? is_word_byte(span.text[at - 1]) : span.before >= 0 && is_word_byte((unsigned char)span.before);
            bool right = at < span.size && is_word_byte(span.text[at]);
            return (left != right) == (assertion == Assertion::WordBoundary);
        }
    }
    return false;
}

// Follows the empty moves from `pc` in order of preference, keeping the
// threads that consume a byte or match.
void PikeVM::add(List &list, uint32_t pc, size_t start, const Span &span, size_t at) {
    stack_.clear();
    stack_.push_back(pc);
    while (!stack_.empty()) {
        uint32_t current = stack_.back();
        stack_.pop_back();
        if (list.contains(current))
            continue;
        list.sparse[current] = uint32_t(list.dense.size());
        list.dense.push_back({current, start});
        const Inst &inst = program_.insts[current];
        switch (inst.op) {
            case Inst::Split:
                stack_.push_back(inst.out1);
                stack_.push_back(inst.out);
                break;
            case Inst::Assert:
                if (holds(inst.assertion, span, at))
                    stack_.push_back(inst.out);
                break;
            default:
                break;
        }
    }
}

bool PikeVM::find(const Span &span, size_t from, bool anchored, size_t &start, size_t &end,
                  Clock::time_point deadline, size_t &stopped_at) {
    stopped_at = SIZE_MAX;
    current_.dense.clear();
    bool matched = false;
    size_t steps = 0;
    for (size_t at = from;; ++at) {
        if (++steps % 2048 == 0 && Clock::now() >= deadline) {
            if (matched)
                return true;
            // Threads are kept in order of preference, and one that reaches
            // a state already held by an earlier-starting one is dropped: no
            // match starts before the earliest start still alive.
            size_t earliest = at;
            for (const Thread &thread : current_.dense)
                earliest = std::min(earliest, thread.start);
            stopped_at = earliest > from ? earliest : at;
            return false;
        }
        if (skips_ && !anchored && !matched && current_.dense.empty()) {
            at += find_any(span.text + at, span.size - at, first_bytes_);
            if (at >= span.size)
                break;
        }
        if (!matched && (!anchored || at == from))
            add(current_, program_.start, at, span, at);
        if (current_.dense.empty())
            break;
        next_.dense.clear();
        int byte = at < span.size ? span.text[at] : -1;
        for (const Thread &thread : current_.dense) {
            const Inst &inst = program_.insts[thread.pc];
            if (inst.op == Inst::Match) {
                matched = true;
                start = thread.start, end = at;
                break;  // threads after this one are less preferred
            }
            if (inst.op == Inst::Byte && byte >= inst.lo && byte <= inst.hi)
                add(next_, inst.out, thread.start, span, at + 1);
        }
        if (at >= span.size) {
            // The threads left can only match on an empty move, seen above.
            break;
        }
        std::swap(current_, next_);
    }
    return matched;
}

}  // namespace tavix::search
