#include "mime/UUCoder.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace pb {
namespace {

// What the decoder told its owner, in order.
std::vector<std::string>& warned() {
    static std::vector<std::string> texts;
    return texts;
}

std::string encode(std::string_view data, UUMethods method) {
    std::stringstream src{std::string(data)}, dst;
    TUUProcessor p;
    p.Method = method;
    p.SourceStream = &src;
    p.TargetStream = &dst;
    p.Encode();
    return dst.str();
}

std::string decode(std::string_view text, UUMethods method, std::streampos* endPos = nullptr) {
    std::stringstream src{std::string(text)}, dst;
    TUUProcessor p;
    p.Method = method;
    p.SourceStream = &src;
    p.TargetStream = &dst;
    p.OnWarning = [](const std::string& text) { warned().push_back(text); };
    p.Decode();
    if (endPos)
        *endPos = src.tellg();
    return dst.str();
}

std::string pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + 7) ^ (i >> 8));
    return s;
}

TEST(Encode, LineShapesAndFill) {
    EXPECT_EQ(encode("", UUMethods::uuMime), "");
    EXPECT_EQ(encode("", UUMethods::uuCode), "`\r\n");
    EXPECT_EQ(encode("A", UUMethods::uuMime), "QQ==\r\n");
    EXPECT_EQ(encode("AB", UUMethods::uuMime), "QUI=\r\n");
    EXPECT_EQ(encode("A", UUMethods::uuCode), "!00\r\n`\r\n");   // no fill characters
    EXPECT_EQ(encode("Cat", UUMethods::uuCode), "#0V%T\r\n`\r\n");

    std::string full = pattern(45);
    std::string mime = encode(full, UUMethods::uuMime);
    ASSERT_EQ(mime.size(), 62u);   // exactly one line of 60 characters
    std::string uu = encode(full, UUMethods::uuCode);
    ASSERT_EQ(uu.size(), 63u + 3u);
    EXPECT_EQ(uu[0], 'M');
    EXPECT_EQ(uu.substr(63), "`\r\n");
    EXPECT_EQ(encode(pattern(46), UUMethods::uuMime).size(), 62u + 6u);
}

TEST(Encode, StartsAtSourceStartAndRewindsTarget) {
    std::stringstream src{std::string("Man")}, dst;
    src.seekg(2);
    std::vector<std::string> events;
    TUUProcessor p;
    p.SourceStream = &src;
    p.TargetStream = &dst;
    p.OnBeginEncode = [&](TUUProcessor&) { events.push_back("begin"); };
    p.OnEndEncode = [&](TUUProcessor&) { events.push_back("end@" + std::to_string(dst.tellp())); };
    p.Encode();
    EXPECT_EQ(dst.str(), "TWFu\r\n");
    EXPECT_EQ(events, (std::vector<std::string>{"begin", "end@0"}));
}

TEST(Encode, WriteFailureStillEndsTheEncodingThenPropagates) {
    std::stringstream src{pattern(1000)};
    std::ostream broken(nullptr);   // no buffer: every write fails
    int ends = 0;
    TUUProcessor p;
    p.SourceStream = &src;
    p.TargetStream = &broken;
    p.OnEndEncode = [&](TUUProcessor&) { ++ends; };
    EXPECT_THROW(p.Encode(), EStreamError);
    EXPECT_EQ(ends, 1);
}

TEST(RoundTrip, EverySizeUpTo200AndAroundLineBoundaries) {
    warned().clear();
    std::vector<std::size_t> sizes;
    for (std::size_t n = 0; n <= 200; ++n)
        sizes.push_back(n);
    for (std::size_t n : {44, 45, 46, 89, 90, 91, 4499, 4500, 4501, 46079, 46080, 46081, 200000})
        sizes.push_back(n);
    for (std::size_t n : sizes) {
        SCOPED_TRACE(n);
        std::string data = pattern(n);
        EXPECT_EQ(decode(encode(data, UUMethods::uuMime), UUMethods::uuMime), data);
        EXPECT_EQ(decode(encode(data, UUMethods::uuCode), UUMethods::uuCode), data);
    }
    // Our own UUencode text carries no "end" line, so each decode says so once.
    EXPECT_EQ(warned().size(), sizes.size());
}

struct DecodeCase {
    const char* what;
    std::string text;
    std::string bytes;
};

TEST(DecodeMime, LineRules) {
    const DecodeCase cases[] = {
        {"fill ends decoding after its line", "QQ==\r\nQUJD\r\n", "A"},
        {"one fill character", "QUI=\r\nQUJD\r\n", "AB"},
        {"junk between groups is skipped", "QUJD -- REVG\t!\r\n", "ABCDEF"},
        {"leading junk is passed over", "  ->QUJD\r\n", "ABC"},
        {"text that ends without fill", "QUJD\r\nREVGRw\r\n", "ABCDEFG"},
        {"a group cut short by the line end", "QUJDRA\r\nRUY=\r\n", "ABCDEF"},
        {"lines of two characters are skipped", "QU\r\nQUJD\r\n", "ABC"},
        {"a line of fill characters is skipped", "====\r\nQUJD\r\n", "ABC"},
        {"fill before any data ends decoding at once", "  =QUJD\r\nQUJD\r\n", ""},
        {"only the last character in the alphabet", "---Q\r\nQUJD\r\n", "ABC"},
        {"bare LF line ends keep every character", "QUJD\nREVG\n", "ABCDEF"},
        {"last line without LF", "QUJD\r\nREVG", "ABCDEF"},
        {"a CR inside the line is junk between groups", "QUJD\rREVG\r\n", "ABCDEF"},
        {"empty source", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(decode(c.text, UUMethods::uuMime), c.bytes);
    }
}

TEST(DecodeMime, StartsAtTheSourcePositionAndStopsJustPastTheFillLine) {
    std::stringstream src{std::string("skip me\r\nQQ==\r\nQUJD\r\n")}, dst;
    src.seekg(9);
    TUUProcessor p;
    p.SourceStream = &src;
    p.TargetStream = &dst;
    p.Decode();
    EXPECT_EQ(dst.str(), "A");
    EXPECT_EQ(src.tellg(), std::streampos(15));
}

TEST(DecodeMime, LinesLongerThanAnyBufferDecodeWhole) {
    // Encoders that do not wrap at all. Leading blanks move the line's CR across the decoder's
    // 64 KiB window edge.
    for (std::size_t n : {49149, 300000}) {
        std::string data = pattern(n);
        std::string wrapped = encode(data, UUMethods::uuMime), oneLine;
        for (char c : wrapped)
            if (c != '\r' && c != '\n')
                oneLine += c;
        for (std::size_t blanks = 0; blanks <= 5; ++blanks) {
            SCOPED_TRACE(testing::Message() << n << " bytes, " << blanks << " blanks");
            std::string line = std::string(blanks, ' ') + oneLine;
            EXPECT_EQ(decode(line + "\r\nQQ==\r\n", UUMethods::uuMime), data + "A");
            EXPECT_EQ(decode(line, UUMethods::uuMime), data);
        }
    }
}

TEST(DecodeUU, StandardTextGivesExactlyItsBytes) {
    warned().clear();
    std::streampos end;
    const std::string text = "begin 644 cat.txt\r\n#0V%T\r\n`\r\nend\r\nsignature -- not data\r\n";
    EXPECT_EQ(decode(text, UUMethods::uuCode, &end), "Cat");
    EXPECT_EQ(end, std::streampos(text.find("signature")));
    EXPECT_EQ(decode("begin 600 x\n#0V%T\n \nend\n", UUMethods::uuCode), "Cat");   // blank zero line
    EXPECT_TRUE(warned().empty());
}

TEST(DecodeUU, MissingEndLineIsReportedOnceAndEndsTheData) {
    warned().clear();
    EXPECT_EQ(decode("#0V%T\r\n`\r\nnot the end\r\n#0V%T\r\n", UUMethods::uuCode), "Cat");
    ASSERT_EQ(warned().size(), 1u);
    EXPECT_EQ(warned()[0], " No end line.");
}

TEST(DecodeUU, ShortAndOddLines) {
    warned().clear();
    // A line shorter than its count: the missing characters count as 0 and nothing is read
    // beyond the line.
    EXPECT_EQ(decode("M0V%T\r\n", UUMethods::uuCode), std::string("Cat") + std::string(42, '\0'));
    EXPECT_EQ(decode("#0V\r\n", UUMethods::uuCode), std::string("C`\0", 3));
    EXPECT_EQ(decode("\r\n#0V%T\r\n", UUMethods::uuCode), "Cat");   // empty line skipped
    EXPECT_EQ(decode(std::string(100000, 'M'), UUMethods::uuCode).size(), 45u);
    EXPECT_TRUE(warned().empty());
}

TEST(Decode, EachMethodUsesItsOwnAlphabet) {
    // The processor's last Encode loaded the Base64 alphabet; the UU decoder must not use it.
    std::stringstream src{std::string("x")}, dst, uuText{std::string("#0V%T\r\n`\r\nend\r\n")}, out;
    TUUProcessor p;
    p.SourceStream = &src;
    p.TargetStream = &dst;
    p.Encode();
    p.Method = UUMethods::uuCode;
    p.SourceStream = &uuText;
    p.TargetStream = &out;
    p.Decode();
    EXPECT_EQ(out.str(), "Cat");
}

// --- progress between windows ----------------------------------------------------------------

// A large job hands control back between its windows, never per line, and the hook changes
// nothing about the result.
TEST(Progress, FiresRepeatedlyDuringALargeDecodeWithTheSameOutput) {
    warned().clear();
    const std::string data = pattern(3 << 20);
    for (UUMethods method : {UUMethods::uuMime, UUMethods::uuCode}) {
        SCOPED_TRACE(method == UUMethods::uuMime ? "base64" : "uuencode");
        const std::string text = encode(data, method) + (method == UUMethods::uuCode ? "end\r\n" : "");
        std::stringstream src{text}, dst;
        TUUProcessor p;
        p.Method = method;
        p.SourceStream = &src;
        p.TargetStream = &dst;
        int calls = 0;
        p.OnProgress = [&](TUUProcessor& sender) {
            EXPECT_EQ(&sender, &p);
            ++calls;
        };
        p.Decode();
        EXPECT_EQ(dst.str(), data);
        EXPECT_GE(calls, static_cast<int>(text.size() / (64 * 1024)) - 1);
        EXPECT_LE(calls, static_cast<int>(text.size() / 128) + 1);

        // Within one window: at most the read that finds the end.
        std::stringstream smallSrc{encode("Cat", method) + (method == UUMethods::uuCode ? "end\r\n" : "")};
        std::stringstream smallDst;
        p.SourceStream = &smallSrc;
        p.TargetStream = &smallDst;
        calls = 0;
        p.Decode();
        EXPECT_EQ(smallDst.str(), "Cat");
        EXPECT_LE(calls, 1);
    }
    EXPECT_TRUE(warned().empty());
}

TEST(Progress, FiresDuringALargeEncodeWithTheSameOutput) {
    const std::string data = pattern(1 << 20);
    std::stringstream src{data}, dst;
    TUUProcessor p;
    p.SourceStream = &src;
    p.TargetStream = &dst;
    int calls = 0;
    p.OnProgress = [&](TUUProcessor&) { ++calls; };
    p.Encode();
    EXPECT_EQ(dst.str(), encode(data, UUMethods::uuMime));
    EXPECT_GE(calls, static_cast<int>(data.size() / (45 * 1024)) - 1);
}

// A caller may end a long job from the hook (a cancel): the exception comes out of the job.
TEST(Progress, AnExceptionFromTheHookEndsTheJobAndPropagates) {
    const std::string text = encode(pattern(1 << 20), UUMethods::uuMime);
    std::stringstream src{text}, dst;
    TUUProcessor p;
    p.SourceStream = &src;
    p.TargetStream = &dst;
    int ends = 0, calls = 0;
    p.OnEndDecode = [&](TUUProcessor&) { ++ends; };
    p.OnProgress = [&](TUUProcessor&) {
        if (++calls == 2)
            throw Exception("canceled");
    };
    EXPECT_THROW(p.Decode(), Exception);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(ends, 0);
    EXPECT_LT(dst.str().size(), std::size_t{1} << 20);
}

} // namespace
} // namespace pb
