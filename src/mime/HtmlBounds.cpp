#include "mime/HtmlBounds.h"

#include "mime/HtmlTags.h"

#include <gumbo.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace pb {
namespace {

using namespace htmlbounds;

constexpr std::size_t DroppedSearch = 64;   // how far an end tag looks among left-out elements

bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isAsciiAlnum(char c) { return isAsciiLetter(c) || (c >= '0' && c <= '9') || c == '#'; }
char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Elements that only change how their text looks.
constexpr TagSet FormattingTags{GUMBO_TAG_B, GUMBO_TAG_BIG, GUMBO_TAG_CODE, GUMBO_TAG_EM, GUMBO_TAG_FONT,
    GUMBO_TAG_I, GUMBO_TAG_NOBR, GUMBO_TAG_S, GUMBO_TAG_SMALL, GUMBO_TAG_STRIKE, GUMBO_TAG_STRONG,
    GUMBO_TAG_TT, GUMBO_TAG_U};

// Start tags that never stay open (void elements, and those the body takes from the head).
constexpr TagSet VoidTags{GUMBO_TAG_AREA, GUMBO_TAG_BASE, GUMBO_TAG_BASEFONT, GUMBO_TAG_BGSOUND, GUMBO_TAG_BR,
    GUMBO_TAG_COL, GUMBO_TAG_EMBED, GUMBO_TAG_FRAME, GUMBO_TAG_HR, GUMBO_TAG_IMAGE, GUMBO_TAG_IMG,
    GUMBO_TAG_INPUT, GUMBO_TAG_KEYGEN, GUMBO_TAG_LINK, GUMBO_TAG_META, GUMBO_TAG_PARAM, GUMBO_TAG_SOURCE,
    GUMBO_TAG_TRACK, GUMBO_TAG_WBR};

// Elements whose content the tokenizer reads as text up to their end tag (in HTML content).
constexpr TagSet RawTextTags{GUMBO_TAG_SCRIPT, GUMBO_TAG_STYLE, GUMBO_TAG_XMP, GUMBO_TAG_IFRAME,
    GUMBO_TAG_NOEMBED, GUMBO_TAG_NOFRAMES, GUMBO_TAG_TEXTAREA, GUMBO_TAG_TITLE, GUMBO_TAG_PLAINTEXT};

bool isHeading(GumboTag t) { return t >= GUMBO_TAG_H1 && t <= GUMBO_TAG_H6; }

// Start tags that may come before the body without beginning it.
constexpr TagSet BeforeBodyTags{GUMBO_TAG_HTML, GUMBO_TAG_HEAD, GUMBO_TAG_BASE, GUMBO_TAG_BASEFONT,
    GUMBO_TAG_BGSOUND, GUMBO_TAG_LINK, GUMBO_TAG_META, GUMBO_TAG_TITLE, GUMBO_TAG_NOSCRIPT,
    GUMBO_TAG_NOFRAMES, GUMBO_TAG_STYLE, GUMBO_TAG_SCRIPT, GUMBO_TAG_TEMPLATE};

// Start tags that end an open paragraph.
constexpr TagSet ParagraphClosers{GUMBO_TAG_ADDRESS, GUMBO_TAG_ARTICLE, GUMBO_TAG_ASIDE, GUMBO_TAG_BLOCKQUOTE,
    GUMBO_TAG_CENTER, GUMBO_TAG_DETAILS, GUMBO_TAG_DIR, GUMBO_TAG_DIV, GUMBO_TAG_DL, GUMBO_TAG_FIELDSET,
    GUMBO_TAG_FIGCAPTION, GUMBO_TAG_FIGURE, GUMBO_TAG_FOOTER, GUMBO_TAG_HEADER, GUMBO_TAG_HGROUP,
    GUMBO_TAG_MAIN, GUMBO_TAG_MENU, GUMBO_TAG_NAV, GUMBO_TAG_OL, GUMBO_TAG_P, GUMBO_TAG_SECTION,
    GUMBO_TAG_SUMMARY, GUMBO_TAG_UL, GUMBO_TAG_PRE, GUMBO_TAG_LISTING, GUMBO_TAG_FORM, GUMBO_TAG_LI,
    GUMBO_TAG_DD, GUMBO_TAG_DT, GUMBO_TAG_H1, GUMBO_TAG_H2, GUMBO_TAG_H3, GUMBO_TAG_H4, GUMBO_TAG_H5,
    GUMBO_TAG_H6};

// Inline elements that an end tag of another name may close on its way down the stack. Every
// other element stops it (the parser's "special" elements, and any this pass is unsure of).
constexpr TagSet PassableTags{GUMBO_TAG_UNKNOWN, GUMBO_TAG_SPAN, GUMBO_TAG_A, GUMBO_TAG_ABBR,
    GUMBO_TAG_ACRONYM, GUMBO_TAG_BDI, GUMBO_TAG_BDO, GUMBO_TAG_CITE, GUMBO_TAG_DATA, GUMBO_TAG_DFN,
    GUMBO_TAG_INS, GUMBO_TAG_DEL, GUMBO_TAG_KBD, GUMBO_TAG_LABEL, GUMBO_TAG_MARK, GUMBO_TAG_Q, GUMBO_TAG_SAMP,
    GUMBO_TAG_SUB, GUMBO_TAG_SUP, GUMBO_TAG_TIME, GUMBO_TAG_VAR, GUMBO_TAG_RUBY, GUMBO_TAG_RB, GUMBO_TAG_RP,
    GUMBO_TAG_RT, GUMBO_TAG_RTC, GUMBO_TAG_OPTION, GUMBO_TAG_OPTGROUP, GUMBO_TAG_LEGEND, GUMBO_TAG_AUDIO,
    GUMBO_TAG_VIDEO, GUMBO_TAG_CANVAS, GUMBO_TAG_MAP, GUMBO_TAG_OUTPUT, GUMBO_TAG_PROGRESS, GUMBO_TAG_METER,
    GUMBO_TAG_DATALIST, GUMBO_TAG_BLINK, GUMBO_TAG_SPACER, GUMBO_TAG_MULTICOL};

// Start tags that leave SVG or MathML content.
constexpr TagSet ForeignBreakers{GUMBO_TAG_B, GUMBO_TAG_BIG, GUMBO_TAG_BLOCKQUOTE, GUMBO_TAG_BODY,
    GUMBO_TAG_BR, GUMBO_TAG_CENTER, GUMBO_TAG_CODE, GUMBO_TAG_DD, GUMBO_TAG_DIV, GUMBO_TAG_DL, GUMBO_TAG_DT,
    GUMBO_TAG_EM, GUMBO_TAG_EMBED, GUMBO_TAG_HEAD, GUMBO_TAG_HR, GUMBO_TAG_I, GUMBO_TAG_IMG, GUMBO_TAG_LI,
    GUMBO_TAG_LISTING, GUMBO_TAG_MENU, GUMBO_TAG_META, GUMBO_TAG_NOBR, GUMBO_TAG_OL, GUMBO_TAG_P,
    GUMBO_TAG_PRE, GUMBO_TAG_RUBY, GUMBO_TAG_S, GUMBO_TAG_SMALL, GUMBO_TAG_SPAN, GUMBO_TAG_STRONG,
    GUMBO_TAG_STRIKE, GUMBO_TAG_SUB, GUMBO_TAG_SUP, GUMBO_TAG_TABLE, GUMBO_TAG_TT, GUMBO_TAG_U, GUMBO_TAG_UL,
    GUMBO_TAG_VAR, GUMBO_TAG_H1, GUMBO_TAG_H2, GUMBO_TAG_H3, GUMBO_TAG_H4, GUMBO_TAG_H5, GUMBO_TAG_H6};

// SVG and MathML elements whose content is read as HTML again.
constexpr TagSet SvgIntegrationPoints{GUMBO_TAG_FOREIGNOBJECT, GUMBO_TAG_DESC, GUMBO_TAG_TITLE};
constexpr TagSet MathIntegrationPoints{GUMBO_TAG_MI, GUMBO_TAG_MO, GUMBO_TAG_MN, GUMBO_TAG_MS, GUMBO_TAG_MTEXT,
    GUMBO_TAG_ANNOTATION_XML};
// HTML elements where the search for an element "in scope" ends.
constexpr TagSet ScopeMarkers{GUMBO_TAG_APPLET, GUMBO_TAG_CAPTION, GUMBO_TAG_HTML, GUMBO_TAG_TABLE, GUMBO_TAG_TD,
    GUMBO_TAG_TH, GUMBO_TAG_MARQUEE, GUMBO_TAG_OBJECT, GUMBO_TAG_TEMPLATE};

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
        return foreign && (svg ? SvgIntegrationPoints : MathIntegrationPoints).has(tag);
    }
    // Where the search for an element "in scope" ends.
    bool scopeMarker() const { return foreign ? integrationPoint() : ScopeMarkers.has(tag); }
    bool passable() const { return foreign ? !integrationPoint() : PassableTags.has(tag); }
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

    // Where the parser puts a new element on its stack of open elements.
    struct Placement {
        std::size_t keep = 0;            // the open elements that stay open before it
        std::size_t eraseA = None;       // an open link the new one ends
        std::vector<GumboTag> implied;   // table parts the parser adds before it
        bool ignored = false;            // the parser passes the tag by
    };

    bool readTag(std::string_view html, std::size_t at, Tag& tag) const;
    // True when the tag opens an element whose content is text up to its end tag.
    bool startTag(std::string_view html, std::size_t at, const Tag& tag);
    // The steps of a start tag. The first two return true when they have taken the tag.
    // In SVG or MathML a tag leaves it or is foreign itself; elsewhere a formatting tag is left
    // out, or stands in as a <span> where it still has a job to do.
    bool foreignOrFormatting(std::string_view html, const Tag& tag, OpenElement& e);
    bool passedInSelect(std::string_view html, std::size_t at, const Tag& tag, std::size_t select);
    Placement placement(const OpenElement& e) const;
    void placeTablePart(GumboTag t, Placement& place) const;
    void openElement(std::string_view html, std::size_t at, const Tag& tag, OpenElement e, const Placement& place);
    // Closes the open elements from `keep` up; what was left out lay inside them.
    void closeDownTo(std::size_t keep) {
        open_.resize(keep);
        dropped_.clear();
    }
    void endTag(std::string_view html, std::size_t at, const Tag& tag);
    void copyTag(std::string_view html, std::size_t at, const Tag& tag);
    // A tag is left out of the HTML.
    void leftOut();
    void text(std::string_view t) {
        if (!bodyStarted_ && !inTemplate())
            bodyStarted_ = std::any_of(t.begin(), t.end(), [](char c) { return !isHtmlSpace(c); });
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
    while (p < n && !isHtmlSpace(html[p]) && html[p] != '/' && html[p] != '>')
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
        while (p < n && (isHtmlSpace(html[p]) || html[p] == '/')) {
            if (html[p] == '/' && p + 1 < n && html[p + 1] == '>')
                tag.selfClosing = true;
            ++p;
        }
        if (p >= n)
            return false;
        if (html[p] == '>')
            break;
        const std::size_t from = p++;
        while (p < n && !isHtmlSpace(html[p]) && html[p] != '/' && html[p] != '>' && html[p] != '=')
            ++p;
        std::size_t q = p;
        while (q < n && isHtmlSpace(html[q]))
            ++q;
        if (q < n && html[q] == '=') {
            p = q + 1;
            while (p < n && isHtmlSpace(html[p]))
                ++p;
            if (p < n && (html[p] == '"' || html[p] == '\'')) {
                const std::size_t close = html.find(html[p], p + 1);
                if (close == std::string_view::npos)
                    return false;
                p = close + 1;
            } else {
                while (p < n && !isHtmlSpace(html[p]) && html[p] != '>')
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
    if (!e.foreign && (BlockTags.has(e.tag) || e.tag == GUMBO_TAG_LI || e.tag == GUMBO_TAG_BR))
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
    if (foreignOrFormatting(html, tag, e))
        return false;
    if (!bodyStarted_ && !inTemplate())
        bodyStarted_ = !BeforeBodyTags.has(t) || e.foreign;
    if (!e.foreign) {
        if (std::size_t select = openSelect(); select != None) {
            if (passedInSelect(html, at, tag, select))
                return false;
        } else if (t == GUMBO_TAG_SVG || t == GUMBO_TAG_MATH) {
            e.foreign = true;
            e.svg = t == GUMBO_TAG_SVG;
        }
    }
    if (e.foreign && tag.selfClosing) {
        copyTag(html, at, tag);
        return false;
    }
    if (!e.foreign && (VoidTags.has(t) || RawTextTags.has(t) || t == GUMBO_TAG_HTML || t == GUMBO_TAG_BODY ||
                       t == GUMBO_TAG_HEAD)) {
        // Never open afterwards (a raw text element ends at its end tag, which comes through
        // endTag like any other).
        copyTag(html, at, tag);
        return RawTextTags.has(t);
    }
    const Placement place = placement(e);
    if (place.ignored)
        copyTag(html, at, tag);
    else
        openElement(html, at, tag, std::move(e), place);
    return false;
}

bool HtmlBounds::foreignOrFormatting(std::string_view html, const Tag& tag, OpenElement& e) {
    const GumboTag t = e.tag;
    if (foreignContext()) {
        if (!ForeignBreakers.has(t) && !(t == GUMBO_TAG_FONT && fontLeavesForeign(html, tag))) {
            e.foreign = true;
            e.svg = open_.back().svg;
            return false;
        }
        while (foreignContext())
            open_.pop_back();
        if (!FormattingTags.has(t))
            return false;
        // It still has to end the SVG or MathML; an inline element without formatting does
        // that and changes no text.
        OpenElement span{GUMBO_TAG_SPAN, {}, false};
        if (open_.size() >= MaxDepth) {
            leaveOut(span);
        } else {
            open_.push_back(std::move(span));
            out_ += "<span>";
        }
        return true;
    }
    if (!FormattingTags.has(t))
        return false;
    if (bodyStarted_ || inTemplate()) {
        leftOut();
        return true;
    }
    // It begins the body (and so decides whether a <title> after it is text of the mail): an
    // inline element without formatting does the same.
    out_ += "<span>";
    open_.push_back({GUMBO_TAG_SPAN, {}, false});
    bodyStarted_ = true;
    return true;
}

bool HtmlBounds::passedInSelect(std::string_view html, std::size_t at, const Tag& tag, std::size_t select) {
    // A select takes options; a few tags end it, the parser passes every other by.
    switch (tag.element.tag) {
    case GUMBO_TAG_OPTION: case GUMBO_TAG_OPTGROUP: case GUMBO_TAG_SCRIPT: case GUMBO_TAG_TEMPLATE:
        return false;
    case GUMBO_TAG_SELECT:
        closeDownTo(select);
        copyTag(html, at, tag);
        return true;
    case GUMBO_TAG_CAPTION: case GUMBO_TAG_TABLE: case GUMBO_TAG_TBODY: case GUMBO_TAG_TFOOT:
    case GUMBO_TAG_THEAD: case GUMBO_TAG_TR: case GUMBO_TAG_TD: case GUMBO_TAG_TH:
        // Only a select in a table ends at the table's parts.
        if (find(select, [](const OpenElement& o) { return o.is(GUMBO_TAG_TABLE); },
                 [](const OpenElement& o) { return o.is(GUMBO_TAG_TEMPLATE); }) == None) {
            copyTag(html, at, tag);
            return true;
        }
        [[fallthrough]];
    case GUMBO_TAG_INPUT: case GUMBO_TAG_KEYGEN: case GUMBO_TAG_TEXTAREA:
        closeDownTo(select);
        return false;
    default:
        copyTag(html, at, tag);
        return true;
    }
}

HtmlBounds::Placement HtmlBounds::placement(const OpenElement& e) const {
    Placement place;
    place.keep = open_.size();
    if (e.foreign)
        return place;
    const GumboTag t = e.tag;
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
            place.keep = item;
        break;
    }
    case GUMBO_TAG_BUTTON: {
        std::size_t b = find(open_.size(), [](const OpenElement& o) { return o.is(GUMBO_TAG_BUTTON); },
                             [](const OpenElement& o) { return o.scopeMarker(); });
        if (b != None)
            place.keep = b;
        break;
    }
    case GUMBO_TAG_A:
        place.eraseA = find(open_.size(), [](const OpenElement& o) { return o.is(GUMBO_TAG_A); },
                            [](const OpenElement& o) { return o.scopeMarker(); });
        break;
    case GUMBO_TAG_OPTION:
    case GUMBO_TAG_OPTGROUP:
        if (!open_.empty() && open_.back().is(GUMBO_TAG_OPTION))
            place.keep = open_.size() - 1;
        break;
    case GUMBO_TAG_TABLE: {
        // A table directly in a table ends it; in a cell it nests.
        std::size_t in = find(
            open_.size(), [](const OpenElement& o) { return o.is(GUMBO_TAG_TABLE); },
            [](const OpenElement& o) {
                return o.is(GUMBO_TAG_TD) || o.is(GUMBO_TAG_TH) || o.is(GUMBO_TAG_CAPTION) || o.is(GUMBO_TAG_TEMPLATE);
            });
        if (in != None)
            place.keep = in;
        break;
    }
    case GUMBO_TAG_CAPTION: case GUMBO_TAG_COLGROUP: case GUMBO_TAG_TBODY: case GUMBO_TAG_THEAD:
    case GUMBO_TAG_TFOOT: case GUMBO_TAG_TR: case GUMBO_TAG_TD: case GUMBO_TAG_TH:
        placeTablePart(t, place);
        break;
    default:
        break;
    }
    if (ParagraphClosers.has(t)) {
        if (std::size_t para = paragraphInButtonScope(place.keep); para != None)
            place.keep = para;
        if (isHeading(t) && place.keep > 0 && isHeading(open_[place.keep - 1].tag) &&
            !open_[place.keep - 1].foreign)
            --place.keep;
    }
    return place;
}

void HtmlBounds::placeTablePart(GumboTag t, Placement& place) const {
    const std::size_t table = find(open_.size(), [](const OpenElement& o) { return o.is(GUMBO_TAG_TABLE); },
                                   [](const OpenElement& o) { return o.is(GUMBO_TAG_TEMPLATE); });
    if (table == None) {
        place.ignored = true;   // table parts outside a table
        return;
    }
    place.keep = table + 1;
    if (t != GUMBO_TAG_TR && t != GUMBO_TAG_TD && t != GUMBO_TAG_TH)
        return;
    std::size_t section = None, row = None;
    for (std::size_t i = open_.size(); i-- > table + 1;) {
        if (row == None && section == None && open_[i].is(GUMBO_TAG_TR))
            row = i;
        if (section == None &&
            (open_[i].is(GUMBO_TAG_TBODY) || open_[i].is(GUMBO_TAG_THEAD) || open_[i].is(GUMBO_TAG_TFOOT)))
            section = i;
    }
    if (t != GUMBO_TAG_TR && row != None) {
        place.keep = row + 1;
        return;
    }
    if (section != None)
        place.keep = section + 1;
    else
        place.implied.push_back(GUMBO_TAG_TBODY);
    if (t != GUMBO_TAG_TR)
        place.implied.push_back(GUMBO_TAG_TR);
}

void HtmlBounds::openElement(std::string_view html, std::size_t at, const Tag& tag, OpenElement e,
                             const Placement& place) {
    const std::size_t depth =
        place.keep - (place.eraseA != None && place.eraseA < place.keep ? 1 : 0) + place.implied.size() + 1;
    if (depth > MaxDepth) {
        leaveOut(e);
        return;
    }
    if (place.keep < open_.size())
        closeDownTo(place.keep);
    if (place.eraseA != None && place.eraseA < open_.size())
        open_.erase(open_.begin() + static_cast<std::ptrdiff_t>(place.eraseA));
    for (GumboTag part : place.implied)
        open_.push_back({part, {}, false});
    open_.push_back(std::move(e));
    copyTag(html, at, tag);
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
                closeDownTo(select);
                break;
            }
            [[fallthrough]];
        default:
            if (FormattingTags.has(t))
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
    if (match == None && FormattingTags.has(t)) {
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
            if (PassableTags.has(t))
                match = find(open_.size(), same, [](const OpenElement& o) { return !o.passable(); });
            else
                match = find(open_.size(), same, scope);
            break;
        }
    }
    if (match != None)
        closeDownTo(match);
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
                if (k == name.size() && (after >= n || isHtmlSpace(html[after]) || html[after] == '/' ||
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

std::string BoundHtml(std::string_view Html) { return HtmlBounds().run(Html); }

} // namespace pb
