// HTML of a hostile mail: unclosed and misnested tags, deep tables and endless attributes
// convert in bounded memory, and the text in them survives.
#include "mime/HtmlBounds.h"
#include "mime/HtmlText.h"
#include "support/PeakMemory.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace pb {
namespace {

std::string repeat(const std::string& s, std::size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (std::size_t i = 0; i < n; ++i)
        out += s;
    return out;
}

TEST(HtmlText, HostileNestingConvertsInBoundedMemoryAndKeepsItsText) {
    struct Case {
        const char* name;
        std::string html;
        std::vector<std::string> inText;
    };
    std::string divLines;
    for (int i = 0; i < 30000; ++i)
        divLines += "<div>Zeile " + std::to_string(i);
    std::string boldIds;
    for (int i = 0; i < 30000; ++i)
        boldIds += "<b id=" + std::to_string(i) + ">";
    const std::vector<Case> cases = {
        {"unclosed div", repeat("<div>", 30000) + "Ende", {"Ende"}},
        {"unclosed div with text", divLines, {"Zeile 0\n", "Zeile 29999\n"}},
        {"unclosed b", repeat("<b>", 30000) + "Ende", {"Ende"}},
        // Every new paragraph would reopen all the bold elements still open.
        {"unclosed b, then paragraphs", boldIds + repeat("<p>Absatz", 30000) + "Ende", {"Absatz\n", "AbsatzEnde"}},
        {"misnested formatting", repeat("<b><i>x</b>y</i><a href=\"http://u/\"><p>z</a>w<u><s>v</u></s>", 20000),
         {"xy <http://u/>\n", "z <http://u/>wv"}},
        {"nested tables", repeat("<table><tr><td>Zelle", 10000) + "innen", {"Zelle\n", "innen"}},
        {"attributes", "<div " + repeat("a=1 ", 1 << 20) + ">Text", {"Text"}},
    };
    for (const Case& c : cases) {
        std::ofstream("/proc/self/clear_refs") << "5";   // the peak from here on is this case's
        const long before = test::peakResidentKiB();
        const std::string text = HtmlToText(c.html);
        const long grown = test::peakResidentKiB() - before;
        // A copy of the HTML and a tree of bounded depth, not a copy of the open elements per
        // tag. (AddressSanitizer keeps freed blocks aside for a while.)
#if defined(__SANITIZE_ADDRESS__)
        constexpr long limitKiB = 256 * 1024;
#else
        constexpr long limitKiB = 100 * 1024;
#endif
        EXPECT_LT(grown, limitKiB) << c.name << ": peak memory grew by " << grown << " KiB";
        for (const std::string& part : c.inText)
            EXPECT_NE(text.find(part), std::string::npos) << c.name << ": no \"" << part << "\" in the text";
    }
}

// What the parser is given: kept bytes pass unchanged, what it could not hold is left out
// without joining the text on either side.
TEST(HtmlBounds, KeepsWhatTheParserCanHoldAndLeavesOutTheRest) {
    using namespace htmlbounds;
    std::string attributes;
    for (std::size_t i = 0; i < MaxAttributes + 2; ++i)
        attributes += " a" + std::to_string(i) + "=1";
    const std::string kept = attributes.substr(0, attributes.find(" a" + std::to_string(MaxAttributes) + "="));
    const struct {
        const char* name;
        std::string html;
        std::string bounded;
    } cases[] = {
        {"blocks and text", "<p>a</p><div>b</div>", "<p>a</p><div>b</div>"},
        {"head and body", "<html><head><title>T</title></head><body>x", "<html><head><title>T</title></head><body>x"},
        {"table cells", "<table><tr><td>1<td>2</table>", "<table><tr><td>1<td>2</table>"},
        {"formatting out, the first begins the body", "<b>fett</b> und <i>sch&auml;n</i>", "<span>fett und sch&auml;n"},
        {"formatting with attributes", "<font color=red>rot</font>", "<span>rot"},
        {"formatting in SVG leaves it", "<svg><b>x</b></svg>", "<svg><span>x</svg>"},
        {"reference not joined to the text after", "x &amp<b>y", "x &amp<!---->y"},
        {"comment copied whole", "<!-- <b> -->z", "<!-- <b> -->z"},
        {"script text untouched", "<script>if (a<b) x='<b>';</script>t", "<script>if (a<b) x='<b>';</script>t"},
        {"a lone <", "a < b", "a < b"},
        {"tag cut off by the end", "a<div", "a<div"},
        {"attributes capped", "<div" + attributes + ">x", "<div" + kept + ">x"},
        {"too deep: lines kept, end tags dropped too",
         repeat("<div>", MaxDepth + 2) + "x" + repeat("</div>", MaxDepth + 2),
         repeat("<div>", MaxDepth) + "<br><br>x" + repeat("</div>", MaxDepth)},
        {"only the first tags", repeat("<br>", MaxTags) + "<p>danach", repeat("<br>", MaxTags)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BoundHtml(c.html), c.bounded) << c.name;
}

} // namespace
} // namespace pb
