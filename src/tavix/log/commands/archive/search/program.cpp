#include "program.hpp"

#include <algorithm>

#include "utf8.hpp"

namespace tavix::search {

namespace {

constexpr size_t kMaxInsts = 40000;

class Compiler {
public:
    Program program;

    uint32_t emit(Inst inst) {
        if (program.insts.size() >= kMaxInsts)
            throw QueryError("the query is too large");
        program.insts.push_back(inst);
        return uint32_t(program.insts.size() - 1);
    }

    uint32_t byte(uint8_t lo, uint8_t hi, uint32_t next) {
        Inst inst{Inst::Byte};
        inst.lo = lo, inst.hi = hi, inst.out = next;
        return emit(inst);
    }

    uint32_t split(uint32_t first, uint32_t second) {
        Inst inst{Inst::Split};
        inst.out = first, inst.out1 = second;
        return emit(inst);
    }

    // Alternatives in order of preference, all going on to `next` already.
    uint32_t any_of(const std::vector<uint32_t> &entries) {
        if (entries.empty())
            return byte(1, 0, 0);  // matches nothing
        uint32_t entry = entries.back();
        for (size_t i = entries.size() - 1; i-- > 0;)
            entry = split(entries[i], entry);
        return entry;
    }

    uint32_t chars(const CharSet &set, uint32_t next) {
        std::vector<uint32_t> entries;
        for (auto [lo, hi] : set.ranges) {
            // Lines never hold their "\n".
            if (lo <= '\n' && '\n' <= hi) {
                if (lo < '\n')
                    entries.push_back(sequences(lo, '\n' - 1, next));
                if (hi > '\n')
                    entries.push_back(sequences('\n' + 1, hi, next));
            } else {
                entries.push_back(sequences(lo, hi, next));
            }
        }
        if (set.ill_formed) {
            entries.push_back(byte(0x80, 0xBF, next));
            entries.push_back(byte(0xC0, 0xC1, next));
            entries.push_back(byte(0xF5, 0xFF, next));
        }
        return any_of(entries);
    }

    uint32_t sequences(uint32_t lo, uint32_t hi, uint32_t next) {
        std::vector<uint32_t> entries;
        for (const ByteSequence &sequence : utf8_sequences(lo, hi)) {
            uint32_t entry = next;
            for (size_t i = sequence.length; i-- > 0;)
                entry = byte(sequence.lo[i], sequence.hi[i], entry);
            entries.push_back(entry);
        }
        return any_of(entries);
    }

    // Emits `node` so that it continues at `next`; returns its entry.
    uint32_t node(const Node &n, uint32_t next) {
        switch (n.kind) {
            case Node::Empty:
                return next;
            case Node::Chars:
                return chars(n.chars, next);
            case Node::Concat:
                for (size_t i = n.children.size(); i-- > 0;)
                    next = node(*n.children[i], next);
                return next;
            case Node::Alternate: {
                std::vector<uint32_t> entries;
                for (const auto &child : n.children)
                    entries.push_back(node(*child, next));
                return any_of(entries);
            }
            case Node::Assert: {
                Inst inst{Inst::Assert};
                inst.assertion = n.assertion;
                inst.out = next;
                if (n.assertion == Assertion::WordBoundary || n.assertion == Assertion::NotWordBoundary)
                    program.has_word_assertion = true;
                return emit(inst);
            }
            case Node::Repeat:
                return repeat(n, next);
        }
        return next;
    }

    uint32_t optional(const Node &body, bool greedy, uint32_t then, uint32_t skip) {
        uint32_t entry = node(body, then);
        return greedy ? split(entry, skip) : split(skip, entry);
    }

    uint32_t repeat(const Node &n, uint32_t next) {
        const Node &body = *n.children[0];
        uint32_t entry = next;
        if (n.max < 0) {
            // The loop: a split that either runs the body once more (coming
            // back to itself) or goes on.
            uint32_t loop = split(0, 0);
            uint32_t body_entry = node(body, loop);
            Inst &inst = program.insts[loop];
            inst.out = n.greedy ? body_entry : next;
            inst.out1 = n.greedy ? next : body_entry;
            entry = loop;
        } else {
            for (int k = n.min; k < n.max; ++k)
                entry = optional(body, n.greedy, entry, next);
        }
        for (int k = 0; k < n.min; ++k)
            entry = node(body, entry);
        return entry;
    }

    void classify() {
        bool boundary[257] = {};
        boundary[0] = boundary[256] = true;
        boundary['\n'] = boundary['\n' + 1] = true;
        for (const Inst &inst : program.insts)
            if (inst.op == Inst::Byte && inst.lo <= inst.hi) {
                boundary[inst.lo] = true;
                boundary[inst.hi + 1] = true;
            }
        int cls = -1;
        for (int b = 0; b < 256; ++b) {
            if (boundary[b])
                ++cls;
            program.byte_class[b] = uint8_t(cls);
        }
        program.class_count = cls + 1;
    }
};

}  // namespace

Program compile(const Node &root) {
    Compiler compiler;
    uint32_t match = compiler.emit(Inst{Inst::Match});
    compiler.program.start = compiler.node(root, match);
    compiler.classify();
    return std::move(compiler.program);
}

}  // namespace tavix::search
