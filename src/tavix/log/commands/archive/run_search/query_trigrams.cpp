#include "query_trigrams.hpp"

#include <set>
#include <string>
#include <utility>

#include "../search/case_fold.hpp"
#include "../search/utf8.hpp"

namespace tavix::run_search {

namespace {

using search::Node;
using Strings = std::set<std::string>;

// Sets of folded strings stay this small; larger ones are cut down to what
// they say about the text next to them.
constexpr size_t kMaxStrings = 32;
// A class of more characters than this says nothing.
constexpr uint32_t kMaxClass = 256;

TrigramQuery leaf(TrigramQuery::Kind kind) {
    TrigramQuery query;
    query.kind = kind;
    return query;
}

// `kind` (And or Or) of the parts, flattened and simplified.
TrigramQuery combine(TrigramQuery::Kind kind, std::vector<TrigramQuery> parts) {
    const TrigramQuery::Kind absorbing = kind == TrigramQuery::And ? TrigramQuery::None : TrigramQuery::All;
    const TrigramQuery::Kind neutral = kind == TrigramQuery::And ? TrigramQuery::All : TrigramQuery::None;
    TrigramQuery combined = leaf(kind);
    for (TrigramQuery &part : parts) {
        if (part.kind == absorbing)
            return leaf(absorbing);
        if (part.kind == neutral)
            continue;
        if (part.kind == kind) {
            for (TrigramQuery &child : part.children)
                combined.children.push_back(std::move(child));
        } else {
            combined.children.push_back(std::move(part));
        }
    }
    if (combined.children.empty())
        return leaf(neutral);
    if (combined.children.size() == 1)
        return std::move(combined.children.front());
    return combined;
}

TrigramQuery all_trigrams_of(const std::string &text) {
    std::set<Trigram> trigrams;
    for (size_t i = 0; i + 3 <= text.size(); ++i)
        trigrams.insert(trigram_of(reinterpret_cast<const unsigned char *>(text.data()) + i));
    std::vector<TrigramQuery> parts;
    for (Trigram trigram : trigrams) {
        TrigramQuery holds = leaf(TrigramQuery::Holds);
        holds.trigram = trigram;
        parts.push_back(std::move(holds));
    }
    return combine(TrigramQuery::And, std::move(parts));
}

// A line holding one of `texts` holds all the trigrams of that one.
TrigramQuery any_of(const Strings &texts) {
    std::vector<TrigramQuery> parts;
    for (const std::string &text : texts)
        parts.push_back(all_trigrams_of(text));
    return combine(TrigramQuery::Or, std::move(parts));
}

Strings joined(const Strings &left, const Strings &right) {
    Strings both;
    for (const std::string &a : left)
        for (const std::string &b : right)
            both.insert(a + b);
    return both;
}

// The trigrams where a text ending with one of `suffixes` meets one starting
// with one of `prefixes`: only two bytes of each side reach across.
TrigramQuery meeting(const Strings &suffixes, const Strings &prefixes) {
    Strings tails, heads;
    for (const std::string &text : suffixes)
        tails.insert(text.size() <= 2 ? text : text.substr(text.size() - 2));
    for (const std::string &text : prefixes)
        heads.insert(text.substr(0, 2));
    return any_of(joined(tails, heads));
}

// What a part of the query says about the folded text of its matches: either
// every match is one of `exact`, or every match starts with one of `prefixes`,
// ends with one of `suffixes`, and satisfies `match`.
struct Info {
    bool is_exact = false;
    Strings exact, prefixes, suffixes;
    TrigramQuery match;  // All unless inexact

    static Info of_exact(Strings texts) {
        Info info;
        info.is_exact = true;
        info.exact = std::move(texts);
        return info;
    }
    static Info anything() {
        Info info;
        info.prefixes = {""};
        info.suffixes = {""};
        return info;
    }
};

// Too many prefixes or suffixes: their trigrams go into the formula, and only
// the bytes that can meet the next part's are kept (then, if still too many,
// none).
void keep_small(Info &info) {
    auto cut = [&](Strings &texts, bool heads) {
        if (texts.size() <= kMaxStrings)
            return;
        info.match = combine(TrigramQuery::And, {std::move(info.match), any_of(texts)});
        Strings ends;
        for (const std::string &text : texts)
            ends.insert(text.size() <= 2 ? text : heads ? text.substr(0, 2) : text.substr(text.size() - 2));
        texts = ends.size() <= kMaxStrings ? std::move(ends) : Strings{""};
    };
    cut(info.prefixes, true);
    cut(info.suffixes, false);
}

Info inexact(Info info) {
    if (!info.is_exact)
        return info;
    Info converted;
    converted.match = any_of(info.exact);
    converted.prefixes = info.exact;
    converted.suffixes = std::move(info.exact);
    keep_small(converted);
    return converted;
}

Info concat(Info left, Info right) {
    if (left.is_exact && right.is_exact && left.exact.size() * right.exact.size() <= kMaxStrings)
        return Info::of_exact(joined(left.exact, right.exact));
    bool left_exact = left.is_exact, right_exact = right.is_exact;
    Strings left_texts = left.exact, right_texts = right.exact;
    Info a = inexact(std::move(left)), b = inexact(std::move(right));
    Info both;
    std::vector<TrigramQuery> parts;
    parts.push_back(std::move(a.match));
    parts.push_back(std::move(b.match));
    // The trigrams where the two meet.
    parts.push_back(meeting(a.suffixes, b.prefixes));
    both.match = combine(TrigramQuery::And, std::move(parts));
    both.prefixes = left_exact && left_texts.size() * b.prefixes.size() <= kMaxStrings * kMaxStrings
                        ? joined(left_texts, b.prefixes)
                        : std::move(a.prefixes);
    both.suffixes = right_exact && a.suffixes.size() * right_texts.size() <= kMaxStrings * kMaxStrings
                        ? joined(a.suffixes, right_texts)
                        : std::move(b.suffixes);
    keep_small(both);
    return both;
}

Info alternate(std::vector<Info> choices) {
    bool all_exact = true;
    size_t count = 0;
    for (const Info &choice : choices) {
        all_exact = all_exact && choice.is_exact;
        count += choice.exact.size();
    }
    if (all_exact && count <= kMaxStrings) {
        Strings texts;
        for (Info &choice : choices)
            texts.merge(choice.exact);
        return Info::of_exact(std::move(texts));
    }
    Info either;
    std::vector<TrigramQuery> parts;
    for (Info &choice : choices) {
        Info converted = inexact(std::move(choice));
        parts.push_back(std::move(converted.match));
        either.prefixes.merge(converted.prefixes);
        either.suffixes.merge(converted.suffixes);
    }
    either.match = combine(TrigramQuery::Or, std::move(parts));
    keep_small(either);
    return either;
}

// The folded spellings of the characters of a class; anything when the
// class is wide or takes bytes that are not characters.
Info characters(const search::CharSet &set) {
    if (set.ill_formed)
        return Info::anything();
    uint32_t count = 0;
    for (const auto &range : set.ranges)
        count += range.second - range.first + 1;
    if (count > kMaxClass)
        return Info::anything();
    Strings texts;
    for (const auto &range : set.ranges)
        for (uint32_t code = range.first; code <= range.second; ++code) {
            if (code == '\n')
                continue;  // lines never hold their line end
            std::string spelled;
            search::append_utf8(spelled, search::case_key(code));
            texts.insert(std::move(spelled));
        }
    if (texts.size() > kMaxStrings)
        return Info::anything();
    return Info::of_exact(std::move(texts));
}

Info analyse(const Node &node);

Info repeat(const Node &node) {
    Info once = analyse(*node.children.front());
    if (node.min == 0) {
        if (node.max != 1)
            return Info::anything();
        std::vector<Info> choices;
        choices.push_back(Info::of_exact({""}));
        choices.push_back(std::move(once));
        return alternate(std::move(choices));
    }
    if (once.is_exact && node.max == node.min) {
        size_t count = 1;
        for (int i = 0; i < node.min && count <= kMaxStrings; ++i)
            count *= once.exact.size();
        if (count <= kMaxStrings) {
            Info all = Info::of_exact({""});
            for (int i = 0; i < node.min; ++i)
                all = concat(std::move(all), Info::of_exact(once.exact));
            return all;
        }
    }
    // At least once: a match starts with a match of the part, ends with one and
    // holds one; with two or more, two of them meet.
    Info part = inexact(std::move(once));
    if (node.min >= 2)
        part.match = combine(TrigramQuery::And, {std::move(part.match), meeting(part.suffixes, part.prefixes)});
    return part;
}

Info analyse(const Node &node) {
    switch (node.kind) {
        case Node::Empty:
        case Node::Assert:
            return Info::of_exact({""});
        case Node::Chars:
            return characters(node.chars);
        case Node::Concat: {
            Info all = Info::of_exact({""});
            for (const auto &child : node.children)
                all = concat(std::move(all), analyse(*child));
            return all;
        }
        case Node::Alternate: {
            std::vector<Info> choices;
            for (const auto &child : node.children)
                choices.push_back(analyse(*child));
            return alternate(std::move(choices));
        }
        case Node::Repeat:
            return repeat(node);
    }
    return Info::anything();
}

}  // namespace

TrigramQuery query_trigrams(const Node &query) { return inexact(analyse(query)).match; }

}  // namespace tavix::run_search
