#include "host/Fidoaddr.h"

#include "platform/Exceptions.h"

#include <gtest/gtest.h>

namespace pb {
namespace {

const TFidoAddr kUntouched{11, 22, 33, 44};

TEST(ParseFidoAddr, AcceptedForms) {
    const struct {
        const char* text;
        TFidoAddr addr;
    } cases[] = {
        {"0:0/0", {0, 0, 0, 0}},
        {"2:240/5", {2, 240, 5, 0}},
        {"2:240/5.1", {2, 240, 5, 1}},
        {"2:240/5@fidonet", {2, 240, 5, 0}},
        {"2:240/5 Hans Muster", {2, 240, 5, 0}},
        {"2:240/5.1.7", {2, 240, 5, 1}},
        {"2:240/5.1x", {2, 240, 5, 1}},
        {"2:70000/1", {2, 4464, 1, 0}},
        {"0002:000240/05", {2, 240, 5, 0}},
        {"65535:65536/2147483647.1", {65535, 0, 65535, 1}},
    };
    for (const auto& c : cases) {
        TFidoAddr a = kUntouched;
        ParseFidoAddr(c.text, a);
        EXPECT_EQ(a, c.addr) << c.text;
    }
}

TEST(ParseFidoAddr, RejectedTextsLeaveTheRecordUntouched) {
    for (const char* text : {"", "240/5", ":240/5", "2:/5", "2:240/", "2:240", " 2:240/5", "2:240/5.",
                             "2:240/5. 1", "2;240/5", "2:240.5", "a:1/2", "2:-1/5"}) {
        TFidoAddr a = kUntouched;
        ParseFidoAddr(text, a);
        EXPECT_EQ(a, kUntouched) << '"' << text << '"';
    }
    TFidoAddr a = kUntouched;
    ParseFidoAddr(std::string_view("2:\0" "240/5", 8), a);
    EXPECT_EQ(a, kUntouched);
}

TEST(ParseFidoAddr, RunTooLargeForThirtyTwoBitsIsAConversionErrorAfterTheEarlierFields) {
    TFidoAddr a = kUntouched;
    EXPECT_THROW(ParseFidoAddr("2:2147483648/5", a), EConvertError);
    EXPECT_EQ(a, (TFidoAddr{2, 22, 33, 44}));
    try {
        ParseFidoAddr("99999999999:1/1", a);
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'99999999999' is not a valid integer value");
    }
}

} // namespace
} // namespace pb
