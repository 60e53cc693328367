#include "mime/HtmlText.h"

#include "mime/HtmlBounds.h"
#include "mime/HtmlTags.h"

#include <gumbo.h>

#include <algorithm>
#include <string>
#include <vector>

namespace pb {
namespace {

// Collects the text line by line. The walk keeps its own stack, so no depth of the tree can
// exhaust the call stack (the depth is bounded before the parse as well, see BoundHtml).
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
            } else if (isHtmlSpace(c)) {
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
    } else if (BlockTags.has(tag))
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
    } else if (BlockTags.has(tag)) {
        out.blockBreak();
    }
}

} // namespace

std::string HtmlToText(std::string_view Html) {
    const std::string bounded = BoundHtml(Html);
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
