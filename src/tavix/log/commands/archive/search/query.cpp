#include "query.hpp"

#include <algorithm>

#include "case_fold.hpp"
#include "utf8.hpp"

namespace tavix::search {

void CharSet::add(uint32_t lo, uint32_t hi) { ranges.emplace_back(lo, hi); }

void CharSet::add(const CharSet &other) {
    ranges.insert(ranges.end(), other.ranges.begin(), other.ranges.end());
    ill_formed = ill_formed || other.ill_formed;
}

void CharSet::normalise() {
    std::sort(ranges.begin(), ranges.end());
    std::vector<std::pair<uint32_t, uint32_t>> merged;
    for (const auto &range : ranges) {
        if (!merged.empty() && range.first <= merged.back().second + 1)
            merged.back().second = std::max(merged.back().second, range.second);
        else
            merged.push_back(range);
    }
    ranges.swap(merged);
}

void CharSet::negate() {
    normalise();
    std::vector<std::pair<uint32_t, uint32_t>> complement;
    uint32_t next = 0;
    for (const auto &range : ranges) {
        if (range.first > next)
            complement.emplace_back(next, range.first - 1);
        next = range.second + 1;
    }
    if (next <= kMaxCode)
        complement.emplace_back(next, kMaxCode);
    ranges.swap(complement);
    // Lines never hold their "\n".
    CharSet newline;
    for (auto &range : ranges)
        if (range.first <= '\n' && '\n' <= range.second) {
            if (range.first < '\n')
                newline.add(range.first, '\n' - 1);
            if (range.second > '\n')
                newline.add('\n' + 1, range.second);
        } else
            newline.add(range.first, range.second);
    ranges.swap(newline.ranges);
    ill_formed = !ill_formed;
}

void CharSet::close_over_case() {
    normalise();
    std::vector<std::pair<uint32_t, uint32_t>> original = ranges;
    for (const auto &range : original)
        for_each_case_relative(range.first, range.second, [&](uint32_t code) { add(code, code); });
    normalise();
}

namespace {

constexpr int kMaxRepeat = 1000;

CharSet ascii_class(char name) {
    CharSet set;
    switch (name | 0x20) {
        case 'd': set.add('0', '9'); break;
        case 'w': set.add('0', '9'); set.add('A', 'Z'); set.add('_', '_'); set.add('a', 'z'); break;
        case 's': set.add('\t', '\r'); set.add(' ', ' '); break;
    }
    return set;
}

std::unique_ptr<Node> make(Node::Kind kind) {
    auto node = std::make_unique<Node>();
    node->kind = kind;
    return node;
}

std::unique_ptr<Node> chars_node(CharSet set, bool ignore_case) {
    if (ignore_case)
        set.close_over_case();
    set.normalise();
    auto node = make(Node::Chars);
    node->chars = std::move(set);
    return node;
}

class RegexParser {
public:
    RegexParser(const std::string &text, bool ignore_case)
        : p_(reinterpret_cast<const unsigned char *>(text.data())), n_(text.size()),
          ignore_case_(ignore_case) {}

    std::unique_ptr<Node> parse() {
        auto node = alternation();
        if (i_ < n_)
            fail("unbalanced parenthesis");
        return node;
    }

private:
    [[noreturn]] void fail(const char *why) { throw QueryError(why); }

    bool at(char c) const { return i_ < n_ && p_[i_] == (unsigned char)c; }

    uint32_t next_character() {
        uint32_t code;
        size_t length = decode_utf8(p_ + i_, n_ - i_, code);
        if (!length)
            fail("the query is not UTF-8");
        i_ += length;
        return code;
    }

    std::unique_ptr<Node> alternation() {
        auto first = concatenation();
        if (!at('|'))
            return first;
        auto node = make(Node::Alternate);
        node->children.push_back(std::move(first));
        while (at('|')) {
            ++i_;
            node->children.push_back(concatenation());
        }
        return node;
    }

    std::unique_ptr<Node> concatenation() {
        auto node = make(Node::Concat);
        while (i_ < n_ && !at('|') && !at(')'))
            node->children.push_back(repetition());
        return node;
    }

    bool quantifier(int &min, int &max) {
        if (at('*')) { ++i_; min = 0; max = -1; return true; }
        if (at('+')) { ++i_; min = 1; max = -1; return true; }
        if (at('?')) { ++i_; min = 0; max = 1; return true; }
        if (!at('{'))
            return false;
        // "{m}", "{m,}", "{,n}", "{m,n}"; anything else is a literal "{".
        size_t j = i_ + 1;
        auto number = [&](int &value) {
            size_t start = j;
            long long v = 0;
            while (j < n_ && p_[j] >= '0' && p_[j] <= '9') {
                v = std::min<long long>(v * 10 + (p_[j] - '0'), 1LL << 40);
                ++j;
            }
            value = int(std::min<long long>(v, kMaxRepeat + 1LL));
            return j > start;
        };
        int lo = 0, hi = -1;
        bool has_lo = number(lo);
        if (j < n_ && p_[j] == '}') {
            if (!has_lo)
                return false;
            hi = lo;
        } else if (j < n_ && p_[j] == ',') {
            ++j;
            if (!number(hi))
                hi = -1;
            if (j >= n_ || p_[j] != '}')
                return false;
        } else
            return false;
        if (lo > kMaxRepeat || hi > kMaxRepeat)
            fail("repetition count too large");
        if (hi >= 0 && hi < lo)
            fail("min repeat greater than max repeat");
        i_ = j + 1;
        min = lo, max = hi;
        return true;
    }

    std::unique_ptr<Node> repetition() {
        if (at('*') || at('+') || at('?'))
            fail("nothing to repeat");
        size_t before = i_;
        int min, max;
        if (quantifier(min, max)) {
            i_ = before;
            fail("nothing to repeat");
        }
        auto node = atom();
        if (!quantifier(min, max))
            return node;
        if (node->kind == Node::Assert)
            fail("nothing to repeat");
        auto repeat = make(Node::Repeat);
        repeat->min = min, repeat->max = max;
        if (at('?')) {
            ++i_;
            repeat->greedy = false;
        } else if (at('+')) {
            fail("possessive repetition is not supported");
        }
        repeat->children.push_back(std::move(node));
        int ignored_min, ignored_max;
        size_t after = i_;
        if (quantifier(ignored_min, ignored_max)) {
            i_ = after;
            fail("multiple repeat");
        }
        return repeat;
    }

    std::unique_ptr<Node> group() {
        ++i_;  // "("
        if (at('?')) {
            ++i_;
            if (at(':')) {
                ++i_;
            } else if (at('P') && i_ + 1 < n_ && p_[i_ + 1] == '<') {
                i_ += 2;
                size_t start = i_;
                while (i_ < n_ && (p_[i_] == '_' || ((p_[i_] | 0x20) >= 'a' && (p_[i_] | 0x20) <= 'z') ||
                                   (i_ > start && p_[i_] >= '0' && p_[i_] <= '9')))
                    ++i_;
                if (i_ == start || !at('>'))
                    fail("bad group name");
                ++i_;
            } else {
                fail("lookaround, backreferences, comments and inline flags are not supported");
            }
        }
        auto node = alternation();
        if (!at(')'))
            fail("missing ), unterminated subpattern");
        ++i_;
        return node;
    }

    std::unique_ptr<Node> assertion(Assertion kind) {
        auto node = make(Node::Assert);
        node->assertion = kind;
        return node;
    }

    uint32_t hex_digits(size_t count) {
        uint32_t value = 0;
        for (size_t k = 0; k < count; ++k, ++i_) {
            if (i_ >= n_)
                fail("incomplete escape");
            unsigned char c = p_[i_];
            int digit = c >= '0' && c <= '9' ? c - '0'
                        : (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10
                                                                   : -1;
            if (digit < 0)
                fail("incomplete escape");
            value = value * 16 + uint32_t(digit);
        }
        if (value > kMaxCode)
            fail("bad escape");
        return value;
    }

    // The character an escape stands for, after the backslash; false for a
    // class escape (\d, \w, \s and their negations), which goes to `set`.
    bool escaped_character(uint32_t &code, CharSet &set, bool in_class) {
        if (i_ >= n_)
            fail("bad escape (end of pattern)");
        unsigned char c = p_[i_];
        switch (c) {
            case 'd': case 'D': case 'w': case 'W': case 's': case 'S':
                ++i_;
                // ASCII classes, the same whatever the case mode.
                set = ascii_class(char(c));
                if (c < 'a')
                    set.negate();
                return false;
            case 'n': ++i_; code = '\n'; return true;
            case 't': ++i_; code = '\t'; return true;
            case 'r': ++i_; code = '\r'; return true;
            case 'f': ++i_; code = '\f'; return true;
            case 'v': ++i_; code = '\v'; return true;
            case 'a': ++i_; code = '\a'; return true;
            case 'x': ++i_; code = hex_digits(2); return true;
            case 'u': ++i_; code = hex_digits(4); return true;
            case 'U': ++i_; code = hex_digits(8); return true;
            case '0': {
                ++i_;
                code = 0;
                for (int k = 0; k < 2 && i_ < n_ && p_[i_] >= '0' && p_[i_] <= '7'; ++k, ++i_)
                    code = code * 8 + (p_[i_] - '0');
                return true;
            }
            default: break;
        }
        if (in_class && c == 'b') {
            ++i_;
            code = '\b';
            return true;
        }
        if (c >= '1' && c <= '9')
            fail("backreferences are not supported");
        if (c < 0x80 && ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'))
            fail("bad escape");
        code = next_character();
        return true;
    }

    std::unique_ptr<Node> escape() {
        ++i_;  // "\"
        if (i_ < n_) {
            switch (p_[i_]) {
                case 'b': ++i_; return assertion(Assertion::WordBoundary);
                case 'B': ++i_; return assertion(Assertion::NotWordBoundary);
                case 'A': ++i_; return assertion(Assertion::LineStart);
                case 'Z': ++i_; return assertion(Assertion::LineEnd);
                default: break;
            }
        }
        uint32_t code;
        CharSet set;
        bool single = escaped_character(code, set, false);
        if (single)
            set.add(code, code);
        return chars_node(std::move(set), ignore_case_ && single);
    }

    std::unique_ptr<Node> char_class() {
        ++i_;  // "["
        CharSet set;
        bool negated = at('^');
        if (negated)
            ++i_;
        bool first = true;
        for (;;) {
            if (i_ >= n_)
                fail("unterminated character set");
            if (at(']') && !first) {
                ++i_;
                break;
            }
            first = false;
            uint32_t lo;
            CharSet escaped;
            bool single = true;
            if (at('\\')) {
                ++i_;
                single = escaped_character(lo, escaped, true);
            } else {
                lo = next_character();
            }
            if (!single) {
                set.add(escaped);
                if (at('-') && i_ + 1 < n_ && p_[i_ + 1] != ']')
                    fail("bad character range");
                continue;
            }
            uint32_t hi = lo;
            if (at('-') && i_ + 1 < n_ && p_[i_ + 1] != ']') {
                ++i_;
                if (at('\\')) {
                    ++i_;
                    if (!escaped_character(hi, escaped, true))
                        fail("bad character range");
                } else {
                    hi = next_character();
                }
                if (hi < lo)
                    fail("bad character range");
            }
            set.add(lo, hi);
        }
        if (ignore_case_)
            set.close_over_case();
        if (negated)
            set.negate();
        set.normalise();
        auto node = make(Node::Chars);
        node->chars = std::move(set);
        return node;
    }

    std::unique_ptr<Node> atom() {
        unsigned char c = p_[i_];
        switch (c) {
            case '(': return group();
            case ')': fail("unbalanced parenthesis");
            case '[': return char_class();
            case '\\': return escape();
            case '^': ++i_; return assertion(Assertion::LineStart);
            case '$': ++i_; return assertion(Assertion::LineEnd);
            case '.': {
                ++i_;
                CharSet set;
                set.add('\n', '\n');
                set.negate();
                auto node = make(Node::Chars);
                node->chars = std::move(set);
                return node;
            }
            default: break;
        }
        uint32_t code = next_character();
        CharSet set;
        set.add(code, code);
        return chars_node(std::move(set), ignore_case_);
    }

    const unsigned char *p_;
    size_t n_;
    size_t i_ = 0;
    bool ignore_case_;
};

}  // namespace

std::unique_ptr<Node> parse_literal(const std::string &text, bool ignore_case) {
    auto node = make(Node::Concat);
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    for (size_t i = 0; i < text.size();) {
        uint32_t code;
        size_t length = decode_utf8(p + i, text.size() - i, code);
        if (!length)
            throw QueryError("the query is not UTF-8");
        i += length;
        CharSet set;
        set.add(code, code);
        node->children.push_back(chars_node(std::move(set), ignore_case));
    }
    return node;
}

std::unique_ptr<Node> parse_regex(const std::string &text, bool ignore_case) {
    return RegexParser(text, ignore_case).parse();
}

}  // namespace tavix::search
