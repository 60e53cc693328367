#pragma once
// What the HTML units of the message format share about the parser's tags: sets of them, and
// the blanks that separate words and attributes.
#include <gumbo.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace pb {

// A set of the parser's tags, asked in one step.
class TagSet {
public:
    constexpr TagSet(std::initializer_list<GumboTag> tags) {
        for (GumboTag t : tags)
            bits_[index(t)] |= bit(t);
    }
    constexpr bool has(GumboTag t) const { return (bits_[index(t)] & bit(t)) != 0; }

private:
    static constexpr std::size_t index(GumboTag t) { return static_cast<std::size_t>(t) / 64; }
    static constexpr std::uint64_t bit(GumboTag t) { return std::uint64_t{1} << (static_cast<std::size_t>(t) % 64); }
    std::array<std::uint64_t, GUMBO_TAG_LAST / 64 + 1> bits_{};
};

// Elements that stand apart from the text around them as a block of lines.
inline constexpr TagSet BlockTags{GUMBO_TAG_P, GUMBO_TAG_DIV, GUMBO_TAG_H1, GUMBO_TAG_H2, GUMBO_TAG_H3, GUMBO_TAG_H4,
    GUMBO_TAG_H5, GUMBO_TAG_H6, GUMBO_TAG_TR, GUMBO_TAG_TABLE, GUMBO_TAG_BLOCKQUOTE, GUMBO_TAG_PRE,
    GUMBO_TAG_UL, GUMBO_TAG_OL, GUMBO_TAG_DL, GUMBO_TAG_DT, GUMBO_TAG_DD, GUMBO_TAG_SECTION,
    GUMBO_TAG_ARTICLE, GUMBO_TAG_HEADER, GUMBO_TAG_FOOTER, GUMBO_TAG_ADDRESS, GUMBO_TAG_HR, GUMBO_TAG_CENTER,
    GUMBO_TAG_FORM, GUMBO_TAG_NAV, GUMBO_TAG_ASIDE, GUMBO_TAG_MAIN, GUMBO_TAG_FIGURE};

// Space characters as HTML knows them.
constexpr bool isHtmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

} // namespace pb
