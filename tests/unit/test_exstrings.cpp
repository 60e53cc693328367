#include "mime/ExStrings.h"

#include <gtest/gtest.h>

namespace pb {
namespace {

TExStringList header() {
    return {"Received: from a", "Subject: Hallo", "no colon here", "X-Mailer: PB", "Received: from b",
            std::string("\xC4rger: \xFC") + "ber"};
}

TEST(HeaderIndex, UnsortedListFindsTheFirstLineOfThatNameInAnyCase) {
    TExStringList h = header();
    EXPECT_EQ(h.HeaderIndex("subject"), 1);
    EXPECT_EQ(h.HeaderIndex("SUBJECT"), 1);
    EXPECT_EQ(h.HeaderIndex("received"), 0);
    EXPECT_EQ(h.HeaderIndex("\xE4rger"), 5);           // ä finds Ä
    EXPECT_EQ(h.HeaderIndex("Subject "), -1);          // no trimming
    EXPECT_EQ(h.HeaderIndex("no colon here"), -1);     // a line without colon has no name
    EXPECT_EQ(h.HeaderIndex(""), -1);
    EXPECT_EQ(h.HeaderIndex("Subj"), -1);
    EXPECT_EQ(TExStringList{}.HeaderIndex("Subject"), -1);
    EXPECT_EQ(AnsiUpperCase("stra\xDF" "e \x9A\xFF\xF7"), "STRA\xDF" "E \x8A\x9F\xF7");
}

TEST(HeaderIndex, SortedListFindsEveryNameByHalving) {
    TExStringList h;
    h.SetSorted(true);
    for (const char* line : {"To: x", "Date: d", "subject: s", "From: f", "Cc: c", "Reply-To: r",
                             "Mime-Version: 1.0", "X-Mailer: m"})
        h.Add(line);
    for (int i = 0; i < h.Count(); ++i) {
        std::string name = h[i].substr(0, h[i].find(':'));
        EXPECT_EQ(h.HeaderIndex(AnsiUpperCase(name)), i) << name;
    }
    EXPECT_EQ(h.HeaderIndex("Aaa"), -1);
    EXPECT_EQ(h.HeaderIndex("Zzz"), -1);
    EXPECT_EQ(h.HeaderIndex("Errors-To"), -1);
    TExStringList empty;
    empty.SetSorted(true);
    EXPECT_EQ(empty.HeaderIndex("To"), -1);
}

TEST(SetHeader, ReplacesInPlaceAppendsAndRemoves) {
    TExStringList h = header();
    h.SetHeader("SUBJECT", "Neu");
    EXPECT_EQ(h[1], "SUBJECT: Neu");
    EXPECT_EQ(h.Count(), 6);
    h.SetHeader("Date", "Mon, 7 Dec 2026");
    EXPECT_EQ(h[6], "Date: Mon, 7 Dec 2026");
    h.SetHeader("received", "");
    EXPECT_EQ(h[0], "SUBJECT: Neu");
    EXPECT_EQ(h.HeaderIndex("Received"), 3);   // only the first of two is removed
    h.SetHeader("Absent", "");
    EXPECT_EQ(h.Count(), 6);
}

TEST(SetHeader, SortedListStaysInOrder) {
    TExStringList h;
    h.SetSorted(true);
    h.SetHeader("Subject", "s");
    h.SetHeader("Date", "d");
    h.SetHeader("To", "t");
    h.SetHeader("Date", "z");
    EXPECT_EQ(h.Lines(), (std::vector<std::string>{"Date: z", "Subject: s", "To: t"}));
}

} // namespace
} // namespace pb
