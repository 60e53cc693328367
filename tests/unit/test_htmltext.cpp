// HTML of a hostile mail: unclosed and misnested tags, deep tables and endless attributes
// convert in bounded memory, and the text in them survives.
#include "mime/HtmlText.h"
#include "support/PeakMemory.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace pb {
namespace {

std::string repeat(const std::string& s, int n) {
    std::string out;
    out.reserve(s.size() * static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
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

} // namespace
} // namespace pb
