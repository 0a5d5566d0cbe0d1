#include "lazy_dfa.hpp"

#include <algorithm>

namespace tavix::search {

namespace {

// Past this many states the cache starts again from nothing, which bounds its
// memory whatever the query.
constexpr size_t kMaxStates = 2000;

std::string key_of(const std::vector<uint32_t> &pcs) {
    return std::string(reinterpret_cast<const char *>(pcs.data()), pcs.size() * sizeof(uint32_t));
}

}  // namespace

LazyDFA::LazyDFA(const Program &program) : program_(program), seen_(program.insts.size(), 0) {
    new_set();
    closure(program.start, false, restart_);
    std::sort(restart_.begin(), restart_.end());
}

// Starts a new set of instructions: those added since are the ones seen.
// A stamp rather than a cleared table keeps building a state linear in the
// program's size.
void LazyDFA::new_set() {
    if (++stamp_ == 0) {
        std::fill(seen_.begin(), seen_.end(), 0);
        stamp_ = 1;
    }
}

// Adds to `into` the instructions that consume a byte or match, reached from
// `pc` by empty moves and not seen yet in the current set.
void LazyDFA::closure(uint32_t pc, bool line_start, std::vector<uint32_t> &into) {
    stack_.assign(1, pc);
    while (!stack_.empty()) {
        uint32_t current = stack_.back();
        stack_.pop_back();
        if (seen_[current] == stamp_)
            continue;
        seen_[current] = stamp_;
        const Inst &inst = program_.insts[current];
        switch (inst.op) {
            case Inst::Split:
                stack_.push_back(inst.out1);
                stack_.push_back(inst.out);
                break;
            case Inst::Assert:
                if (inst.assertion != Assertion::LineStart || line_start)
                    stack_.push_back(inst.out);
                break;
            default:
                into.push_back(current);
                break;
        }
    }
}

int32_t LazyDFA::intern(std::vector<uint32_t> &pcs) {
    std::sort(pcs.begin(), pcs.end());
    pcs.erase(std::unique(pcs.begin(), pcs.end()), pcs.end());
    std::string key = key_of(pcs);
    auto found = index_.find(key);
    if (found != index_.end())
        return found->second;
    State state;
    state.pcs = pcs;
    for (uint32_t pc : pcs)
        state.match = state.match || program_.insts[pc].op == Inst::Match;
    int32_t id = int32_t(states_.size());
    states_.push_back(std::move(state));
    ++states_built_;
    transitions_.resize(states_.size() * size_t(program_.class_count), -1);
    index_.emplace(std::move(key), id);
    return id;
}

void LazyDFA::reset() {
    states_.clear();
    transitions_.clear();
    index_.clear();
    std::vector<uint32_t> start;
    new_set();
    closure(program_.start, true, start);
    line_start_ = intern(start);
}

int32_t LazyDFA::step(int32_t state, unsigned char byte) {
    int32_t &slot = transitions_[size_t(state) * size_t(program_.class_count) +
                                 program_.byte_class[byte]];
    if (slot >= 0)
        return slot;
    int32_t next;
    if (byte == '\n') {
        next = line_start_;
    } else {
        // Every position may start a match, so the restart threads join.
        std::vector<uint32_t> pcs = restart_;  // duplicates go when it is interned
        new_set();
        for (uint32_t pc : states_[size_t(state)].pcs) {
            const Inst &inst = program_.insts[pc];
            if (inst.op == Inst::Byte && byte >= inst.lo && byte <= inst.hi)
                closure(inst.out, false, pcs);
        }
        next = intern(pcs);
    }
    // `slot` may have moved when the table grew.
    transitions_[size_t(state) * size_t(program_.class_count) + program_.byte_class[byte]] = next;
    return next;
}

// A state that most bytes lead back to is left only at a few bytes: those are
// found with a vector scan instead of stepping byte by byte.
void LazyDFA::accelerate(int32_t state) {
    if (states_[size_t(state)].probed)
        return;
    states_[size_t(state)].probed = true;
    ByteChoice exits;
    bool few = true;
    for (int b = 0; b < 256 && few; ++b) {
        if (step(state, (unsigned char)b) == state)
            continue;
        if (exits.count == 4)
            few = false;
        else
            exits.bytes[exits.count++] = (unsigned char)b;
    }
    State &s = states_[size_t(state)];
    s.accelerated = few && exits.count > 0;
    s.exits = exits;
}

size_t LazyDFA::find_end(const unsigned char *text, size_t from, size_t size, Clock::time_point deadline,
                         size_t &stopped_at) {
    stopped_at = SIZE_MAX;
    unsigned built = 0;
    if (line_start_ < 0)
        reset();
    int32_t state = line_start_;
    if (states_[size_t(state)].match)
        return from;
    const size_t classes = size_t(program_.class_count);
    for (size_t i = from; i < size;) {
        if (states_.size() > kMaxStates) {
            std::vector<uint32_t> pcs = states_[size_t(state)].pcs;
            bool at_line_start = state == line_start_;
            reset();
            state = at_line_start ? line_start_ : intern(pcs);
        }
        State &current = states_[size_t(state)];
        if (current.accelerated) {
            i += find_any(text + i, size - i, current.exits);
            if (i >= size)
                break;
        }
        int32_t next = transitions_[size_t(state) * classes + program_.byte_class[text[i]]];
        if (next < 0) {
            // The clock is read now and then, when states are being built.
            if (++built % 64 == 0 && Clock::now() >= deadline) {
                stopped_at = i;
                return kNoMatch;
            }
            next = step(state, text[i]);
            if (next == state || states_[size_t(next)].pcs == restart_)
                accelerate(next);
        }
        ++i;
        state = next;
        if (states_[size_t(state)].match)
            return i;
    }
    return kNoMatch;
}

}  // namespace tavix::search
