#include "net/HtmlText.h"

#include <gumbo.h>

#include <algorithm>
#include <vector>

namespace pb {
namespace {

bool isBlockTag(GumboTag tag) {
    switch (tag) {
    case GUMBO_TAG_P: case GUMBO_TAG_DIV: case GUMBO_TAG_H1: case GUMBO_TAG_H2: case GUMBO_TAG_H3:
    case GUMBO_TAG_H4: case GUMBO_TAG_H5: case GUMBO_TAG_H6: case GUMBO_TAG_TR: case GUMBO_TAG_TABLE:
    case GUMBO_TAG_BLOCKQUOTE: case GUMBO_TAG_PRE: case GUMBO_TAG_UL: case GUMBO_TAG_OL: case GUMBO_TAG_DL:
    case GUMBO_TAG_DT: case GUMBO_TAG_DD: case GUMBO_TAG_SECTION: case GUMBO_TAG_ARTICLE:
    case GUMBO_TAG_HEADER: case GUMBO_TAG_FOOTER: case GUMBO_TAG_ADDRESS: case GUMBO_TAG_HR:
    case GUMBO_TAG_CENTER: case GUMBO_TAG_FORM: case GUMBO_TAG_NAV: case GUMBO_TAG_ASIDE:
    case GUMBO_TAG_MAIN: case GUMBO_TAG_FIGURE:
        return true;
    default:
        return false;
    }
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

// Collects the text line by line. The walk keeps its own stack, so no depth of the tree can
// exhaust the call stack (the depth is bounded before the parse as well, see HtmlBounds).
class TextWriter {
public:
    void text(std::string_view s, bool pre) {
        for (char c : s) {
            if (pre) {
                if (c == '\r')
                    continue;
                if (c == '\n') {
                    newLine();
                    continue;
                }
                put(c);
            } else if (isBlank(c)) {
                pendingBlank_ = !line_.empty();
            } else {
                if (pendingBlank_)
                    put(' ');
                pendingBlank_ = false;
                put(c);
            }
        }
    }
    // Ends the current line, if it holds anything.
    void breakLine() {
        if (!line_.empty())
            newLine();
        pendingBlank_ = false;
    }
    // An empty line between blocks (at most one in a row).
    void blockBreak() {
        breakLine();
        if (!lines_.empty() && !lines_.back().empty())
            lines_.emplace_back();
    }
    void newLine() {
        while (!line_.empty() && line_.back() == ' ')
            line_.pop_back();
        lines_.push_back(std::move(line_));
        line_.clear();
        pendingBlank_ = false;
    }
    std::string finish() {
        breakLine();
        while (!lines_.empty() && lines_.back().empty())
            lines_.pop_back();
        std::string out;
        bool lastEmpty = true;
        for (const std::string& l : lines_) {
            if (l.empty() && lastEmpty)
                continue;
            out += l;
            out += '\n';
            lastEmpty = l.empty();
        }
        return out;
    }
    std::string& line() { return line_; }
    void put(char c) { line_ += c; }

private:
    std::vector<std::string> lines_;
    std::string line_;
    bool pendingBlank_ = false;
};

struct Frame {
    const GumboNode* node;
    std::size_t next;   // index of the next child to visit
    bool pre;
    std::size_t linkFrom;   // for <a>: where the link's own text begins on the line
};

std::string attribute(const GumboNode* node, const char* name) {
    const GumboAttribute* a = gumbo_get_attribute(&node->v.element.attributes, name);
    return a ? std::string(a->value) : std::string();
}

void open(TextWriter& out, const GumboNode* node) {
    const GumboTag tag = node->v.element.tag;
    if (tag == GUMBO_TAG_BR)
        out.newLine();
    else if (tag == GUMBO_TAG_LI) {
        out.breakLine();
        out.text("* ", true);
    } else if (isBlockTag(tag))
        out.blockBreak();
}

void close(TextWriter& out, const Frame& f) {
    const GumboTag tag = f.node->v.element.tag;
    if (tag == GUMBO_TAG_A) {
        const std::string href = attribute(f.node, "href");
        // A link whose text is its address already says everything.
        const std::string& line = out.line();
        const std::string shown = line.substr(std::min(f.linkFrom, line.size()));
        if (!href.empty() && href[0] != '#' && shown.find(href) == std::string::npos &&
            ("mailto:" + shown) != href) {
            out.text(" <", true);
            out.text(href, true);
            out.text(">", true);
        }
    } else if (tag == GUMBO_TAG_LI || tag == GUMBO_TAG_TD || tag == GUMBO_TAG_TH) {
        if (tag == GUMBO_TAG_LI)
            out.breakLine();
        else
            out.text(" ", true);
    } else if (isBlockTag(tag)) {
        out.blockBreak();
    }
}

// ---- What the parser is given ----
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
constexpr std::size_t MaxTags = 100000;
constexpr std::size_t MaxDepth = 512;
constexpr std::size_t MaxAttributes = 64;
constexpr std::size_t DroppedSearch = 64;   // how far an end tag looks among left-out elements

bool isTagSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }
bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isAsciiAlnum(char c) { return isAsciiLetter(c) || (c >= '0' && c <= '9') || c == '#'; }
char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool isFormatting(GumboTag t) {
    switch (t) {
    case GUMBO_TAG_B: case GUMBO_TAG_BIG: case GUMBO_TAG_CODE: case GUMBO_TAG_EM: case GUMBO_TAG_FONT:
    case GUMBO_TAG_I: case GUMBO_TAG_NOBR: case GUMBO_TAG_S: case GUMBO_TAG_SMALL: case GUMBO_TAG_STRIKE:
    case GUMBO_TAG_STRONG: case GUMBO_TAG_TT: case GUMBO_TAG_U:
        return true;
    default:
        return false;
    }
}

// Start tags that never stay open (void elements, and those the body takes from the head).
bool isVoid(GumboTag t) {
    switch (t) {
    case GUMBO_TAG_AREA: case GUMBO_TAG_BASE: case GUMBO_TAG_BASEFONT: case GUMBO_TAG_BGSOUND:
    case GUMBO_TAG_BR: case GUMBO_TAG_COL: case GUMBO_TAG_EMBED: case GUMBO_TAG_FRAME: case GUMBO_TAG_HR:
    case GUMBO_TAG_IMAGE: case GUMBO_TAG_IMG: case GUMBO_TAG_INPUT: case GUMBO_TAG_KEYGEN:
    case GUMBO_TAG_LINK: case GUMBO_TAG_META: case GUMBO_TAG_PARAM: case GUMBO_TAG_SOURCE:
    case GUMBO_TAG_TRACK: case GUMBO_TAG_WBR:
        return true;
    default:
        return false;
    }
}

// Elements whose content the tokenizer reads as text up to their end tag (in HTML content).
bool isRawText(GumboTag t) {
    switch (t) {
    case GUMBO_TAG_SCRIPT: case GUMBO_TAG_STYLE: case GUMBO_TAG_XMP: case GUMBO_TAG_IFRAME:
    case GUMBO_TAG_NOEMBED: case GUMBO_TAG_NOFRAMES: case GUMBO_TAG_TEXTAREA: case GUMBO_TAG_TITLE:
    case GUMBO_TAG_PLAINTEXT:
        return true;
    default:
        return false;
    }
}

bool isHeading(GumboTag t) { return t >= GUMBO_TAG_H1 && t <= GUMBO_TAG_H6; }

// Start tags that may come before the body without beginning it.
bool beforeBody(GumboTag t) {
    switch (t) {
    case GUMBO_TAG_HTML: case GUMBO_TAG_HEAD: case GUMBO_TAG_BASE: case GUMBO_TAG_BASEFONT:
    case GUMBO_TAG_BGSOUND: case GUMBO_TAG_LINK: case GUMBO_TAG_META: case GUMBO_TAG_TITLE:
    case GUMBO_TAG_NOSCRIPT: case GUMBO_TAG_NOFRAMES: case GUMBO_TAG_STYLE: case GUMBO_TAG_SCRIPT:
    case GUMBO_TAG_TEMPLATE:
        return true;
    default:
        return false;
    }
}

// Start tags that end an open paragraph.
bool closesParagraph(GumboTag t) {
    switch (t) {
    case GUMBO_TAG_ADDRESS: case GUMBO_TAG_ARTICLE: case GUMBO_TAG_ASIDE: case GUMBO_TAG_BLOCKQUOTE:
    case GUMBO_TAG_CENTER: case GUMBO_TAG_DETAILS: case GUMBO_TAG_DIR: case GUMBO_TAG_DIV: case GUMBO_TAG_DL:
    case GUMBO_TAG_FIELDSET: case GUMBO_TAG_FIGCAPTION: case GUMBO_TAG_FIGURE: case GUMBO_TAG_FOOTER:
    case GUMBO_TAG_HEADER: case GUMBO_TAG_HGROUP: case GUMBO_TAG_MAIN: case GUMBO_TAG_MENU: case GUMBO_TAG_NAV:
    case GUMBO_TAG_OL: case GUMBO_TAG_P: case GUMBO_TAG_SECTION: case GUMBO_TAG_SUMMARY: case GUMBO_TAG_UL:
    case GUMBO_TAG_PRE: case GUMBO_TAG_LISTING: case GUMBO_TAG_FORM: case GUMBO_TAG_LI: case GUMBO_TAG_DD:
    case GUMBO_TAG_DT:
        return true;
    default:
        return isHeading(t);
    }
}

// Inline elements that an end tag of another name may close on its way down the stack. Every
// other element stops it (the parser's "special" elements, and any this pass is unsure of).
bool isPassable(GumboTag t) {
    switch (t) {
    case GUMBO_TAG_UNKNOWN: case GUMBO_TAG_SPAN: case GUMBO_TAG_A: case GUMBO_TAG_ABBR: case GUMBO_TAG_ACRONYM:
    case GUMBO_TAG_BDI: case GUMBO_TAG_BDO: case GUMBO_TAG_CITE: case GUMBO_TAG_DATA: case GUMBO_TAG_DFN:
    case GUMBO_TAG_INS: case GUMBO_TAG_DEL: case GUMBO_TAG_KBD: case GUMBO_TAG_LABEL: case GUMBO_TAG_MARK:
    case GUMBO_TAG_Q: case GUMBO_TAG_SAMP: case GUMBO_TAG_SUB: case GUMBO_TAG_SUP: case GUMBO_TAG_TIME:
    case GUMBO_TAG_VAR: case GUMBO_TAG_RUBY: case GUMBO_TAG_RB: case GUMBO_TAG_RP: case GUMBO_TAG_RT:
    case GUMBO_TAG_RTC: case GUMBO_TAG_OPTION: case GUMBO_TAG_OPTGROUP: case GUMBO_TAG_LEGEND:
    case GUMBO_TAG_AUDIO: case GUMBO_TAG_VIDEO: case GUMBO_TAG_CANVAS: case GUMBO_TAG_MAP:
    case GUMBO_TAG_OUTPUT: case GUMBO_TAG_PROGRESS: case GUMBO_TAG_METER: case GUMBO_TAG_DATALIST:
    case GUMBO_TAG_BLINK: case GUMBO_TAG_SPACER: case GUMBO_TAG_MULTICOL:
        return true;
    default:
        return false;
    }
}

// Start tags that leave SVG or MathML content.
bool breaksOutOfForeign(GumboTag t) {
    switch (t) {
    case GUMBO_TAG_B: case GUMBO_TAG_BIG: case GUMBO_TAG_BLOCKQUOTE: case GUMBO_TAG_BODY: case GUMBO_TAG_BR:
    case GUMBO_TAG_CENTER: case GUMBO_TAG_CODE: case GUMBO_TAG_DD: case GUMBO_TAG_DIV: case GUMBO_TAG_DL:
    case GUMBO_TAG_DT: case GUMBO_TAG_EM: case GUMBO_TAG_EMBED: case GUMBO_TAG_HEAD: case GUMBO_TAG_HR:
    case GUMBO_TAG_I: case GUMBO_TAG_IMG: case GUMBO_TAG_LI: case GUMBO_TAG_LISTING: case GUMBO_TAG_MENU:
    case GUMBO_TAG_META: case GUMBO_TAG_NOBR: case GUMBO_TAG_OL: case GUMBO_TAG_P: case GUMBO_TAG_PRE:
    case GUMBO_TAG_RUBY: case GUMBO_TAG_S: case GUMBO_TAG_SMALL: case GUMBO_TAG_SPAN: case GUMBO_TAG_STRONG:
    case GUMBO_TAG_STRIKE: case GUMBO_TAG_SUB: case GUMBO_TAG_SUP: case GUMBO_TAG_TABLE: case GUMBO_TAG_TT:
    case GUMBO_TAG_U: case GUMBO_TAG_UL: case GUMBO_TAG_VAR:
        return true;
    default:
        return isHeading(t);
    }
}

struct OpenElement {
    GumboTag tag = GUMBO_TAG_UNKNOWN;
    std::string name;       // for tags the parser does not know, in lower case
    bool foreign = false;   // SVG or MathML
    bool svg = false;       // of the foreign ones, SVG

    bool is(GumboTag t) const { return !foreign && tag == t; }
    bool same(const OpenElement& o) const {
        return tag == o.tag && foreign == o.foreign && (tag != GUMBO_TAG_UNKNOWN || name == o.name);
    }
    // SVG and MathML elements whose content is read as HTML again.
    bool integrationPoint() const {
        if (!foreign)
            return false;
        switch (tag) {
        case GUMBO_TAG_FOREIGNOBJECT: case GUMBO_TAG_DESC: case GUMBO_TAG_TITLE:
            return svg;
        case GUMBO_TAG_MI: case GUMBO_TAG_MO: case GUMBO_TAG_MN: case GUMBO_TAG_MS: case GUMBO_TAG_MTEXT:
        case GUMBO_TAG_ANNOTATION_XML:
            return !svg;
        default:
            return false;
        }
    }
    // Where the search for an element "in scope" ends.
    bool scopeMarker() const {
        if (foreign)
            return integrationPoint();
        switch (tag) {
        case GUMBO_TAG_APPLET: case GUMBO_TAG_CAPTION: case GUMBO_TAG_HTML: case GUMBO_TAG_TABLE:
        case GUMBO_TAG_TD: case GUMBO_TAG_TH: case GUMBO_TAG_MARQUEE: case GUMBO_TAG_OBJECT:
        case GUMBO_TAG_TEMPLATE:
            return true;
        default:
            return false;
        }
    }
    bool passable() const { return foreign ? !integrationPoint() : isPassable(tag); }
};

constexpr std::size_t None = static_cast<std::size_t>(-1);

class HtmlBounds {
public:
    std::string run(std::string_view html);

private:
    struct Tag {
        bool end = false;
        bool selfClosing = false;
        OpenElement element;
        std::vector<std::pair<std::size_t, std::size_t>> attributes;   // [from, to) in the HTML
        std::size_t nameEnd = 0;
        std::size_t end_ = 0;   // one past its '>'
    };

    bool readTag(std::string_view html, std::size_t at, Tag& tag) const;
    // True when the tag opens an element whose content is text up to its end tag.
    bool startTag(std::string_view html, std::size_t at, const Tag& tag);
    void endTag(std::string_view html, std::size_t at, const Tag& tag);
    void copyTag(std::string_view html, std::size_t at, const Tag& tag);
    // A tag is left out of the HTML.
    void leftOut();
    void text(std::string_view t) {
        if (!bodyStarted_ && !inTemplate())
            bodyStarted_ = std::any_of(t.begin(), t.end(), [](char c) { return !isTagSpace(c); });
        out_.append(t);
    }
    static bool fontLeavesForeign(std::string_view html, const Tag& tag);
    void leaveOut(const OpenElement& e);
    bool foreignContext() const {
        return !open_.empty() && open_.back().foreign && !open_.back().integrationPoint();
    }
    // The topmost open element that matches, searching down from `below` (exclusive) and giving
    // up at an element for which `stop` holds; None when there is none.
    template <typename Match, typename Stop>
    std::size_t find(std::size_t below, Match match, Stop stop) const {
        for (std::size_t i = below; i-- > 0;) {
            if (match(open_[i]))
                return i;
            if (stop(open_[i]))
                return None;
        }
        return None;
    }
    // The content of a template is not the document's: it does not begin the body.
    bool inTemplate() const {
        return std::any_of(open_.begin(), open_.end(), [](const OpenElement& o) { return o.is(GUMBO_TAG_TEMPLATE); });
    }
    // The open select whose options are the innermost elements; None when there is none.
    std::size_t openSelect() const {
        std::size_t i = open_.size();
        while (i > 0 && (open_[i - 1].is(GUMBO_TAG_OPTION) || open_[i - 1].is(GUMBO_TAG_OPTGROUP)))
            --i;
        return i > 0 && open_[i - 1].is(GUMBO_TAG_SELECT) ? i - 1 : None;
    }
    std::size_t paragraphInButtonScope(std::size_t below) const {
        return find(below, [](const OpenElement& e) { return e.is(GUMBO_TAG_P); },
                    [](const OpenElement& e) { return e.scopeMarker() || e.is(GUMBO_TAG_BUTTON); });
    }

    std::string out_;
    std::vector<OpenElement> open_;      // what the parser will hold open, at most MaxDepth
    std::vector<OpenElement> dropped_;   // elements left out, so that their end tags go too
    bool bodyStarted_ = false;           // the parser has begun the body
};

bool HtmlBounds::readTag(std::string_view html, std::size_t at, Tag& tag) const {
    const std::size_t n = html.size();
    std::size_t p = at + 1;
    tag.end = html[p] == '/';
    if (tag.end)
        ++p;
    const std::size_t nameAt = p;
    while (p < n && !isTagSpace(html[p]) && html[p] != '/' && html[p] != '>')
        ++p;
    tag.nameEnd = p;
    std::string name(html.substr(nameAt, p - nameAt));
    for (char& c : name)
        c = lowerAscii(c);
    tag.element.tag = gumbo_tagn_enum(name.data(), static_cast<unsigned>(name.size()));
    if (tag.element.tag == GUMBO_TAG_UNKNOWN)
        tag.element.name = std::move(name);
    // The attributes, read as the tokenizer reads them: a quote opens a value only after '='.
    for (;;) {
        while (p < n && (isTagSpace(html[p]) || html[p] == '/')) {
            if (html[p] == '/' && p + 1 < n && html[p + 1] == '>')
                tag.selfClosing = true;
            ++p;
        }
        if (p >= n)
            return false;
        if (html[p] == '>')
            break;
        const std::size_t from = p++;
        while (p < n && !isTagSpace(html[p]) && html[p] != '/' && html[p] != '>' && html[p] != '=')
            ++p;
        std::size_t q = p;
        while (q < n && isTagSpace(html[q]))
            ++q;
        if (q < n && html[q] == '=') {
            p = q + 1;
            while (p < n && isTagSpace(html[p]))
                ++p;
            if (p < n && (html[p] == '"' || html[p] == '\'')) {
                const std::size_t close = html.find(html[p], p + 1);
                if (close == std::string_view::npos)
                    return false;
                p = close + 1;
            } else {
                while (p < n && !isTagSpace(html[p]) && html[p] != '>')
                    ++p;
            }
        }
        tag.attributes.emplace_back(from, p);
    }
    tag.end_ = p + 1;
    return true;
}

void HtmlBounds::leftOut() {
    // A "<" or an unfinished character reference before the tag must not join the text after it.
    std::size_t i = out_.size();
    while (i > 0 && out_.size() - i < 32 && isAsciiAlnum(out_[i - 1]))
        --i;
    if (i > 0 && (out_[i - 1] == '&' || (i == out_.size() && out_[i - 1] == '<')))
        out_ += "<!---->";
}

// <font> leaves SVG or MathML only with one of these attributes.
bool HtmlBounds::fontLeavesForeign(std::string_view html, const Tag& tag) {
    for (const auto& [from, to] : tag.attributes) {
        std::size_t end = from;
        while (end < to && html[end] != '=')
            ++end;
        std::string name(html.substr(from, end - from));
        for (char& c : name)
            c = lowerAscii(c);
        if (name == "color" || name == "face" || name == "size")
            return true;
    }
    return false;
}

void HtmlBounds::copyTag(std::string_view html, std::size_t at, const Tag& tag) {
    if (tag.attributes.size() <= MaxAttributes) {
        out_.append(html.substr(at, tag.end_ - at));
        return;
    }
    out_.append(html.substr(at, tag.nameEnd - at));
    for (std::size_t i = 0; i < MaxAttributes; ++i) {
        out_ += ' ';
        out_.append(html.substr(tag.attributes[i].first, tag.attributes[i].second - tag.attributes[i].first));
    }
    out_ += tag.selfClosing ? " />" : ">";
}

void HtmlBounds::leaveOut(const OpenElement& e) {
    // The text keeps the lines and cells of what is left out.
    if (!e.foreign && (isBlockTag(e.tag) || e.tag == GUMBO_TAG_LI || e.tag == GUMBO_TAG_BR))
        out_ += "<br>";
    else if (e.is(GUMBO_TAG_TD) || e.is(GUMBO_TAG_TH))
        out_ += ' ';
    else
        leftOut();
    dropped_.push_back(e);
}

bool HtmlBounds::startTag(std::string_view html, std::size_t at, const Tag& tag) {
    OpenElement e = tag.element;
    const GumboTag t = e.tag;
    if (foreignContext()) {
        if (breaksOutOfForeign(t) || (t == GUMBO_TAG_FONT && fontLeavesForeign(html, tag))) {
            while (foreignContext())
                open_.pop_back();
            if (isFormatting(t)) {
                // It still has to end the SVG or MathML; an inline element without formatting
                // does that and changes no text.
                e = {GUMBO_TAG_SPAN, {}, false};
                if (open_.size() >= MaxDepth) {
                    leaveOut(e);
                } else {
                    open_.push_back(std::move(e));
                    out_ += "<span>";
                }
                return false;
            }
        } else {
            e.foreign = true;
            e.svg = open_.back().svg;
        }
    } else if (isFormatting(t)) {
        if (bodyStarted_ || inTemplate()) {
            leftOut();
            return false;
        }
        // It begins the body (and so decides whether a <title> after it is text of the mail):
        // an inline element without formatting does the same.
        e = {GUMBO_TAG_SPAN, {}, false};
        out_ += "<span>";
        open_.push_back(std::move(e));
        bodyStarted_ = true;
        return false;
    }
    if (!bodyStarted_ && !inTemplate())
        bodyStarted_ = !beforeBody(t) || e.foreign;
    if (!e.foreign) {
        if (std::size_t select = openSelect(); select != None) {
            // A select takes options; a few tags end it, the parser passes every other by.
            switch (t) {
            case GUMBO_TAG_OPTION: case GUMBO_TAG_OPTGROUP: case GUMBO_TAG_SCRIPT: case GUMBO_TAG_TEMPLATE:
                break;
            case GUMBO_TAG_SELECT:
                open_.resize(select);
                dropped_.clear();
                copyTag(html, at, tag);
                return false;
            case GUMBO_TAG_CAPTION: case GUMBO_TAG_TABLE: case GUMBO_TAG_TBODY: case GUMBO_TAG_TFOOT:
            case GUMBO_TAG_THEAD: case GUMBO_TAG_TR: case GUMBO_TAG_TD: case GUMBO_TAG_TH:
                // Only a select in a table ends at the table's parts.
                if (find(select, [](const OpenElement& o) { return o.is(GUMBO_TAG_TABLE); },
                         [](const OpenElement& o) { return o.is(GUMBO_TAG_TEMPLATE); }) == None) {
                    copyTag(html, at, tag);
                    return false;
                }
                [[fallthrough]];
            case GUMBO_TAG_INPUT: case GUMBO_TAG_KEYGEN: case GUMBO_TAG_TEXTAREA:
                open_.resize(select);
                dropped_.clear();
                break;
            default:
                copyTag(html, at, tag);
                return false;
            }
        } else if (t == GUMBO_TAG_SVG || t == GUMBO_TAG_MATH) {
            e.foreign = true;
            e.svg = t == GUMBO_TAG_SVG;
        }
    }
    if (e.foreign && tag.selfClosing) {
        copyTag(html, at, tag);
        return false;
    }
    if (!e.foreign && (isVoid(t) || isRawText(t) || t == GUMBO_TAG_HTML || t == GUMBO_TAG_BODY ||
                       t == GUMBO_TAG_HEAD)) {
        // Never open afterwards (a raw text element ends at its end tag, which comes through
        // endTag like any other).
        copyTag(html, at, tag);
        return isRawText(t);
    }

    std::size_t keep = open_.size();   // the open elements that stay open before it
    std::size_t eraseA = None;         // an open link the new one ends
    std::vector<GumboTag> implied;     // table parts the parser adds before it
    bool ignored = false;              // the parser passes the tag by
    if (!e.foreign) {
        const auto table = [&] {
            return find(open_.size(), [](const OpenElement& o) { return o.is(GUMBO_TAG_TABLE); },
                        [](const OpenElement& o) { return o.is(GUMBO_TAG_TEMPLATE); });
        };
        switch (t) {
        case GUMBO_TAG_LI:
        case GUMBO_TAG_DD:
        case GUMBO_TAG_DT: {
            std::size_t item = find(
                open_.size(),
                [t](const OpenElement& o) {
                    return t == GUMBO_TAG_LI ? o.is(GUMBO_TAG_LI) : o.is(GUMBO_TAG_DD) || o.is(GUMBO_TAG_DT);
                },
                [](const OpenElement& o) {
                    return !o.passable() && !o.is(GUMBO_TAG_ADDRESS) && !o.is(GUMBO_TAG_DIV) && !o.is(GUMBO_TAG_P);
                });
            if (item != None)
                keep = item;
            break;
        }
        case GUMBO_TAG_BUTTON: {
            std::size_t b = find(open_.size(), [](const OpenElement& o) { return o.is(GUMBO_TAG_BUTTON); },
                                 [](const OpenElement& o) { return o.scopeMarker(); });
            if (b != None)
                keep = b;
            break;
        }
        case GUMBO_TAG_A:
            eraseA = find(open_.size(), [](const OpenElement& o) { return o.is(GUMBO_TAG_A); },
                          [](const OpenElement& o) { return o.scopeMarker(); });
            break;
        case GUMBO_TAG_OPTION:
        case GUMBO_TAG_OPTGROUP:
            if (!open_.empty() && open_.back().is(GUMBO_TAG_OPTION))
                keep = open_.size() - 1;
            break;
        case GUMBO_TAG_TABLE: {
            // A table directly in a table ends it; in a cell it nests.
            std::size_t in = find(
                open_.size(), [](const OpenElement& o) { return o.is(GUMBO_TAG_TABLE); },
                [](const OpenElement& o) {
                    return o.is(GUMBO_TAG_TD) || o.is(GUMBO_TAG_TH) || o.is(GUMBO_TAG_CAPTION) ||
                           o.is(GUMBO_TAG_TEMPLATE);
                });
            if (in != None)
                keep = in;
            break;
        }
        case GUMBO_TAG_CAPTION: case GUMBO_TAG_COLGROUP: case GUMBO_TAG_TBODY: case GUMBO_TAG_THEAD:
        case GUMBO_TAG_TFOOT: case GUMBO_TAG_TR: case GUMBO_TAG_TD: case GUMBO_TAG_TH: {
            const std::size_t tbl = table();
            if (tbl == None) {
                ignored = true;   // table parts outside a table
                break;
            }
            keep = tbl + 1;
            if (t == GUMBO_TAG_TR || t == GUMBO_TAG_TD || t == GUMBO_TAG_TH) {
                std::size_t section = None, row = None;
                for (std::size_t i = open_.size(); i-- > tbl + 1;) {
                    if (row == None && section == None && open_[i].is(GUMBO_TAG_TR))
                        row = i;
                    if (section == None && (open_[i].is(GUMBO_TAG_TBODY) || open_[i].is(GUMBO_TAG_THEAD) ||
                                            open_[i].is(GUMBO_TAG_TFOOT)))
                        section = i;
                }
                if (t != GUMBO_TAG_TR && row != None) {
                    keep = row + 1;
                } else {
                    if (section != None)
                        keep = section + 1;
                    else
                        implied.push_back(GUMBO_TAG_TBODY);
                    if (t != GUMBO_TAG_TR)
                        implied.push_back(GUMBO_TAG_TR);
                }
            }
            break;
        }
        default:
            break;
        }
        if (closesParagraph(t)) {
            if (std::size_t para = paragraphInButtonScope(keep); para != None)
                keep = para;
            if (isHeading(t) && keep > 0 && isHeading(open_[keep - 1].tag) && !open_[keep - 1].foreign)
                --keep;
        }
    }
    if (ignored) {
        copyTag(html, at, tag);
        return false;
    }
    const std::size_t depth = keep - (eraseA != None && eraseA < keep ? 1 : 0) + implied.size() + 1;
    if (depth > MaxDepth) {
        leaveOut(e);
        return false;
    }
    if (keep < open_.size()) {
        open_.resize(keep);
        dropped_.clear();   // what was left out lay inside what is closed now
    }
    if (eraseA != None && eraseA < open_.size())
        open_.erase(open_.begin() + static_cast<std::ptrdiff_t>(eraseA));
    for (GumboTag part : implied)
        open_.push_back({part, {}, false});
    open_.push_back(std::move(e));
    copyTag(html, at, tag);
    return false;
}

void HtmlBounds::endTag(std::string_view html, std::size_t at, const Tag& tag) {
    const OpenElement& e = tag.element;
    const GumboTag t = e.tag;
    if (!dropped_.empty()) {
        const std::size_t lowest = dropped_.size() > DroppedSearch ? dropped_.size() - DroppedSearch : 0;
        for (std::size_t i = dropped_.size(); i-- > lowest;) {
            if (dropped_[i].tag == t && (t != GUMBO_TAG_UNKNOWN || dropped_[i].name == e.name)) {
                dropped_.resize(i);
                leftOut();
                return;
            }
        }
    }
    if (std::size_t select = openSelect(); select != None) {
        // In a select, only its own end tags count (and a template's, and in a table those of
        // the table's parts).
        switch (t) {
        case GUMBO_TAG_TEMPLATE:
            break;
        case GUMBO_TAG_OPTION: case GUMBO_TAG_OPTGROUP: case GUMBO_TAG_SELECT:
            if (std::size_t own = find(open_.size(), [&e](const OpenElement& o) { return o.same(e); },
                                       [](const OpenElement& o) { return o.is(GUMBO_TAG_SELECT); });
                own != None)
                open_.resize(own);
            else if (t == GUMBO_TAG_SELECT)
                open_.resize(select);
            dropped_.clear();
            copyTag(html, at, tag);
            return;
        case GUMBO_TAG_CAPTION: case GUMBO_TAG_TABLE: case GUMBO_TAG_TBODY: case GUMBO_TAG_TFOOT:
        case GUMBO_TAG_THEAD: case GUMBO_TAG_TR: case GUMBO_TAG_TD: case GUMBO_TAG_TH:
            if (find(select, [&e](const OpenElement& o) { return o.same(e); },
                     [t](const OpenElement& o) { return o.is(GUMBO_TAG_TABLE) && t != GUMBO_TAG_TABLE; }) !=
                None) {
                open_.resize(select);
                dropped_.clear();
                break;
            }
            [[fallthrough]];
        default:
            if (isFormatting(t))
                leftOut();
            else
                copyTag(html, at, tag);
            return;
        }
    }
    std::size_t match = None;
    // In SVG or MathML, an end tag closes the foreign element of its name.
    std::size_t i = open_.size();
    while (i > 0 && open_[i - 1].foreign) {
        --i;
        if (open_[i].tag == t && (t != GUMBO_TAG_UNKNOWN || open_[i].name == e.name)) {
            match = i;
            break;
        }
    }
    if (match == None && isFormatting(t)) {
        leftOut();   // left out with its start tag
        return;
    }
    if (t == GUMBO_TAG_BODY || t == GUMBO_TAG_HTML || t == GUMBO_TAG_BR)
        bodyStarted_ = true;
    if (match == None) {
        const auto same = [&e](const OpenElement& o) { return o.same(e); };
        const auto scope = [](const OpenElement& o) { return o.scopeMarker(); };
        switch (t) {
        case GUMBO_TAG_P:
            match = paragraphInButtonScope(open_.size());
            break;
        case GUMBO_TAG_LI:
            match = find(open_.size(), same, [](const OpenElement& o) {
                return o.scopeMarker() || o.is(GUMBO_TAG_OL) || o.is(GUMBO_TAG_UL);
            });
            break;
        case GUMBO_TAG_H1: case GUMBO_TAG_H2: case GUMBO_TAG_H3: case GUMBO_TAG_H4: case GUMBO_TAG_H5:
        case GUMBO_TAG_H6:
            match = find(open_.size(), [](const OpenElement& o) { return !o.foreign && isHeading(o.tag); }, scope);
            break;
        case GUMBO_TAG_TABLE: case GUMBO_TAG_TBODY: case GUMBO_TAG_THEAD: case GUMBO_TAG_TFOOT:
        case GUMBO_TAG_TR: case GUMBO_TAG_TD: case GUMBO_TAG_TH: case GUMBO_TAG_CAPTION:
        case GUMBO_TAG_COLGROUP:
            match = find(open_.size(), same, [](const OpenElement& o) {
                return o.is(GUMBO_TAG_TABLE) || o.is(GUMBO_TAG_TEMPLATE);
            });
            break;
        case GUMBO_TAG_HTML: case GUMBO_TAG_BODY: case GUMBO_TAG_BR:
            break;
        case GUMBO_TAG_A: {
            // The parser takes the link out and leaves what it holds open.
            std::size_t a = find(open_.size(), same, scope);
            if (a != None)
                open_.erase(open_.begin() + static_cast<std::ptrdiff_t>(a));
            break;
        }
        default:
            if (isPassable(t))
                match = find(open_.size(), same, [](const OpenElement& o) { return !o.passable(); });
            else
                match = find(open_.size(), same, scope);
            break;
        }
    }
    if (match != None) {
        open_.resize(match);
        dropped_.clear();
    }
    copyTag(html, at, tag);
}

std::string HtmlBounds::run(std::string_view html) {
    const std::size_t n = html.size();
    out_.reserve(n);
    std::size_t at = 0;
    std::size_t tags = 0;
    while (at < n) {
        const std::size_t lt = html.find('<', at);
        if (lt == std::string_view::npos || lt + 1 >= n) {
            text(html.substr(at));
            break;
        }
        text(html.substr(at, lt - at));
        at = lt;
        const char next = html[lt + 1];
        if (next == '!' || next == '?' || (next == '/' && (lt + 2 >= n || !isAsciiLetter(html[lt + 2])))) {
            // A comment, a doctype, or a bogus comment: copied as it is.
            std::size_t end;
            if (html.compare(lt, 4, "<!--") == 0) {
                std::size_t from = lt + 4;
                if (html.compare(from, 1, ">") == 0)
                    end = from + 1;
                else if (html.compare(from, 2, "->") == 0)
                    end = from + 2;
                else
                    for (end = n; from < n;) {
                        const std::size_t dashes = html.find("--", from);
                        if (dashes == std::string_view::npos)
                            break;
                        if (html.compare(dashes + 2, 1, ">") == 0) {
                            end = dashes + 3;
                            break;
                        }
                        if (html.compare(dashes + 2, 2, "!>") == 0) {
                            end = dashes + 4;
                            break;
                        }
                        from = dashes + 1;
                    }
            } else {
                end = html.find('>', lt + 1);
                end = end == std::string_view::npos ? n : end + 1;
            }
            out_.append(html.substr(lt, end - lt));
            at = end;
            continue;
        }
        if (!isAsciiLetter(next) && next != '/') {
            text("<");   // a "<" in the text
            ++at;
            continue;
        }
        Tag tag;
        if (!readTag(html, lt, tag)) {
            out_.append(html.substr(lt));   // a tag cut off by the end: the parser drops it
            break;
        }
        if (++tags > MaxTags)
            break;
        at = tag.end_;
        if (tag.end) {
            endTag(html, lt, tag);
            continue;
        }
        if (startTag(html, lt, tag)) {
            // Its content is text up to its own end tag.
            if (tag.element.tag == GUMBO_TAG_PLAINTEXT) {
                out_.append(html.substr(at));
                break;
            }
            const std::string_view name = gumbo_normalized_tagname(tag.element.tag);
            std::size_t end = at;
            for (;;) {
                end = html.find("</", end);
                if (end == std::string_view::npos) {
                    end = n;
                    break;
                }
                std::size_t k = 0;
                while (k < name.size() && end + 2 + k < n && lowerAscii(html[end + 2 + k]) == name[k])
                    ++k;
                const std::size_t after = end + 2 + k;
                if (k == name.size() && (after >= n || isTagSpace(html[after]) || html[after] == '/' ||
                                         html[after] == '>'))
                    break;
                end += 2;
            }
            out_.append(html.substr(at, end - at));
            at = end;
        }
    }
    return std::move(out_);
}
} // namespace

std::string HtmlToText(std::string_view Html) {
    const std::string bounded = HtmlBounds().run(Html);
    // No error records: each would hold a copy of the stack of open elements.
    GumboOptions options = kGumboDefaultOptions;
    options.max_errors = 0;
    GumboOutput* doc = gumbo_parse_with_options(&options, bounded.data(), bounded.size());
    TextWriter out;
    std::vector<Frame> stack;
    stack.push_back({doc->root, 0, false, 0});
    while (!stack.empty()) {
        Frame& f = stack.back();
        const GumboNode* node = f.node;
        const GumboVector& children = node->type == GUMBO_NODE_DOCUMENT ? node->v.document.children
                                                                         : node->v.element.children;
        if (f.next >= children.length) {
            if (node->type == GUMBO_NODE_ELEMENT)
                close(out, f);
            stack.pop_back();
            continue;
        }
        const GumboNode* child = static_cast<const GumboNode*>(children.data[f.next++]);
        const bool pre = f.pre;
        switch (child->type) {
        case GUMBO_NODE_TEXT:
        case GUMBO_NODE_CDATA:
        case GUMBO_NODE_WHITESPACE:
            out.text(child->v.text.text, pre);
            break;
        case GUMBO_NODE_ELEMENT:
        case GUMBO_NODE_TEMPLATE: {
            const GumboTag tag = child->v.element.tag;
            if (tag == GUMBO_TAG_SCRIPT || tag == GUMBO_TAG_STYLE || tag == GUMBO_TAG_HEAD ||
                tag == GUMBO_TAG_NOSCRIPT || tag == GUMBO_TAG_TEMPLATE)
                break;
            open(out, child);
            stack.push_back({child, 0, pre || tag == GUMBO_TAG_PRE, out.line().size()});
            break;
        }
        default:
            break;   // comments, the doctype
        }
    }
    gumbo_destroy_output(&options, doc);
    return out.finish();
}

} // namespace pb
