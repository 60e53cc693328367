#pragma once
// The HTML that the parser of HTML mail is given.
//
// gumbo has no limit of its own on how deep elements nest, and several of its steps walk the
// stack of open elements (scope checks, the handling of misnested tags), so unclosed tags cost
// time and memory that grow with the square of their number. The HTML is therefore bounded
// before the parser sees it, in one pass that follows the parser's tree building far enough to
// know how deep an element would sit:
//  - only the first MaxTags tags are read (the tree costs a few hundred bytes per element;
//    the whole HTML stays in its file);
//  - formatting tags (b, i, font, ...) are left out: they change no text, and unclosed ones
//    are what the parser copies into every new block;
//  - a start tag that would open an element deeper than MaxDepth is left out (a block tag
//    becomes a line break, a cell a blank), and so is its end tag;
//  - a tag keeps at most MaxAttributes attributes (the parser compares each new attribute
//    with all before it).
// Where the pass cannot tell exactly what the parser does, it counts an element as still open:
// it may leave out a tag too many, never let the parser's stack grow past the cap.
#include <cstddef>
#include <string>
#include <string_view>

namespace pb {

namespace htmlbounds {
inline constexpr std::size_t MaxTags = 100000;
inline constexpr std::size_t MaxDepth = 512;
inline constexpr std::size_t MaxAttributes = 64;
} // namespace htmlbounds

// The HTML within those bounds: what is kept is copied byte for byte, comments and the text of
// script-like elements included.
std::string BoundHtml(std::string_view Html);

} // namespace pb
