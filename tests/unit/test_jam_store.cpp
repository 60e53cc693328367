// edhost's areas as JAM bases: the plug-in's records go in and come back byte for byte, what
// other tools read in the files tells them the truth, and messages other tools write reach the
// plug-in with flag words it acts on.
#include "JamStore.h"
#include "MailDate.h"
#include "support/EdhostProcess.h"
#include "support/TempRoot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include <sys/stat.h>

#include <csignal>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>
#include <filesystem>

namespace pb::edhost {
namespace {

namespace fs = std::filesystem;
using namespace pb::jam;

std::string record(const std::string& text, std::uint16_t flags, const std::string& to = "Anna",
                   const std::string& from = "Max Muster", const std::string& subject = "Hallo") {
    std::string r(sizeof(TNewMsgHeader), '\0');
    auto* h = reinterpret_cast<TNewMsgHeader*>(r.data());
    h->ToUserName.assign(to);
    h->FromUserName.assign(from);
    h->Subject.assign(subject);
    h->Flags = flags;
    h->Size = static_cast<std::int32_t>(sizeof(TNewMsgHeader) + text.size() + 1);
    r += text;
    r.push_back('\0');
    return r;
}

const std::string kMail =
    "\x01Return-Path: <anna@example.org>\r\n"
    "\x01" "From: Anna Beispiel <anna@example.org>\r\n"
    "\x01To: Max Muster <max@example.org>\r\n"
    "\x01Subject: Hallo\r\n"
    "\x01\r\n"
    "\x01REPLYADDR Anna Beispiel <anna@example.org>\r\n"
    "From: Anna Beispiel <anna@example.org>\r\n"
    "\r\n"
    "Hallo Max,\r\n"
    "\r\n"
    "> zitiert\r\n";

class JamStore : public ::testing::Test {
protected:
    // What the EMAIL area holds on disk, read as another tool would.
    std::vector<Message> onDisk() {
        BaseInfo info;
        return Area(dir + "/email").readAll(info);
    }

    test::TempDir tmp_{"pb-jamstore"};
    std::string dir = tmp_.path();
};

// The program's output (both streams) and exit status; a serve that should have refused to
// start is stopped after a few seconds instead of hanging the test.
std::string edhostSays(const std::string& args, int& status) {
    std::string out;
    FILE* p = ::popen(("timeout 5 " + test::edhostPath() + " " + args + " 2>&1").c_str(), "r");
    if (!p)
        return out;
    char buf[512];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    const int st = ::pclose(p);
    status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

std::vector<std::string> kludges(const MsgHeader& h) {
    std::vector<std::string> out;
    for (const auto& s : h.Subfields)
        if (s.LoID == sub::FtsKludge)
            out.push_back(s.Data);
    return out;
}

TEST_F(JamStore, InternetMailIsStoredAsJamAndDumpsAsTheRecordItWas) {
    std::string rec = record(kMail, 0x2014, "Max Muster", "Anna Beispiel");
    {
        auto s = openStore(dir);
        std::size_t email = s->createArea({"EMAIL", "Fidonet", 9});
        EXPECT_EQ(s->addMessage(email, rec), 1u);
    }
    for (const char* e : {".jhr", ".jdt", ".jdx", ".jlr"})
        EXPECT_TRUE(fs::exists(dir + "/email" + e));

    auto msgs = onDisk();
    ASSERT_EQ(msgs.size(), 1u);
    const MsgHeader& h = msgs[0].Header;
    EXPECT_EQ(*h.find(sub::SenderName), "Anna Beispiel");
    EXPECT_EQ(*h.find(sub::ReceiverName), "Max Muster");
    EXPECT_EQ(*h.find(sub::Subject), "Hallo");
    EXPECT_EQ(*h.find(sub::OAddress), "0:0/0");
    EXPECT_EQ(*h.find(sub::DAddress), "0:0/0");
    // Brought in from outside: no scanner may export it.
    EXPECT_EQ(h.Attribute & (attr::Local | attr::Sent | attr::TypeNet | attr::Private),
              attr::TypeNet | attr::Private);
    auto k = kludges(h);
    ASSERT_GE(k.size(), 7u);
    EXPECT_EQ(k[0], "Return-Path: <anna@example.org>");
    EXPECT_EQ(k[4], "");
    EXPECT_EQ(k[5], "REPLYADDR Anna Beispiel <anna@example.org>");
    EXPECT_EQ(k[6], "CHRS: LATIN-1 2");
    EXPECT_TRUE(h.find(sub::TzUtcInfo));
    // The text holds no kludge and no LF: lines end in CR as every JAM reader expects.
    EXPECT_EQ(msgs[0].Text, "From: Anna Beispiel <anna@example.org>\r\rHallo Max,\r\r> zitiert\r");

    auto s = openStore(dir);
    auto email = s->findArea("email");
    ASSERT_TRUE(email);
    const auto m = s->message(*email, 1);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->Record, rec);
    EXPECT_EQ(m->Flags, 0x2014);
    EXPECT_EQ(m->Text(), kMail);
}

TEST_F(JamStore, WhatJamCannotHoldIsStillGivenBackByteForByte) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"long kludge", "\x01X-Long: " + std::string(400, 'a') + "\r\nText\r\n"},
        {"bare LF in a line", "\x01Subject: a\nb\r\nText\nmehr\r\n"},
        {"bare CR in the text", "Text\rmit CR\r\n"},
        {"no line end at the end", "\x01Subject: x\r\nletzte Zeile"},
        {"kludge without line end", "\x01Subject: nur Kludge"},
        {"bytes after the NUL", std::string("Text\r\n\0Rest", 12)},
        {"INTL kludge", "\x01INTL 2:240/1 2:240/2\r\nText\r\n"},
        {"MSGID with blanks", "\x01MSGID:  2:240/1234 1 \r\nText\r\n"},
        {"own charset kludge", "\x01" "CHRS: CP866 2\r\nText\r\n"},
        {"UTF-8 text", "\x01Subject: x\r\nGr\xC3\xBC\xC3\x9F" "e\r\n"},
        {"empty", ""},
    };
    std::vector<std::string> records;
    std::vector<StoredMessage> justStored;   // as the storing host hands them out
    {
        auto s = openStore(dir);
        std::size_t email = s->createArea({"EMAIL", "Fidonet", 9});
        for (const auto& [name, text] : cases) {
            records.push_back(record(text, 0x2014));
            auto* h = reinterpret_cast<TNewMsgHeader*>(records.back().data());
            h->AuxText.assign("aux " + name);   // bytes JAM has no place for
            justStored.push_back(*s->message(email, s->addMessage(email, records.back())));
        }
    }
    auto msgs = onDisk();
    ASSERT_EQ(msgs.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(msgs[i].Text.find('\x01'), std::string::npos) << cases[i].first;
        EXPECT_EQ(msgs[i].Text.find('\n'), std::string::npos) << cases[i].first;
        for (const auto& sf : msgs[i].Header.Subfields) {
            EXPECT_FALSE(sf.LoID == sub::FtsKludge && sf.Data.size() > 255) << cases[i].first;
            EXPECT_FALSE(sf.LoID == sub::FtsKludge && sf.Data.rfind("INTL", 0) == 0);
        }
    }
    EXPECT_EQ(kludges(msgs[8].Header).size(), 1u);   // the record's own CHRS, none added
    EXPECT_EQ(kludges(msgs[9].Header).back(), "CHRS: UTF-8 4");

    auto s = openStore(dir);
    auto email = *s->findArea("EMAIL");
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto m = s->message(email, static_cast<std::uint32_t>(i + 1));
        EXPECT_EQ(m->Record, records[i]) << cases[i].first;
        // The host that stored it hands out the same message as one that reads the base.
        EXPECT_EQ(justStored[i].Record, m->Record) << cases[i].first;
        EXPECT_EQ(justStored[i].Flags, m->Flags) << cases[i].first;
        EXPECT_EQ(justStored[i].Written, m->Written) << cases[i].first;
    }
}

// The CHRS label follows what a reader shows: the text after the kludges, the names and the
// subject; the kludges keep raw header bytes of any kind.
TEST_F(JamStore, CharsetLabelFollowsTheShownTextNamesAndSubject) {
    const std::string rawHead = "\x01" "From: J\xC3\xBCrgen <j@example.org>\r\n\x01Subject: \x80\r\n\x01\r\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {record(rawHead + "kostet 5 \x80 \x96 \x84so\x93\r\n", 0x2014), "CHRS: CP1252 2"},
        {record(rawHead + "Gr\xFC\xDF" "e\r\n", 0x2014), "CHRS: LATIN-1 2"},
        {record(rawHead + "ASCII\r\n", 0x2014), "CHRS: LATIN-1 2"},
        {record("ASCII\r\n", 0x2014, "Anna", "J\xC3\xBCrgen"), "CHRS: UTF-8 4"},
        {record("ASCII\r\n", 0x2014, "Anna", "Max", "\x84Zitat\x93"), "CHRS: CP1252 2"},
        {record("Gr\xC3\xBC\xC3\x9F" "e\r\n", 0x2014, "Anna", "J\xC3\xBCrgen"), "CHRS: UTF-8 4"},
    };
    {
        auto s = openStore(dir);
        std::size_t email = s->createArea({"EMAIL", "Fidonet", 9});
        for (const auto& c : cases)
            s->addMessage(email, c.first);
    }
    auto msgs = onDisk();
    ASSERT_EQ(msgs.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(kludges(msgs[i].Header).back(), cases[i].second) << i;
    auto s = openStore(dir);
    EXPECT_EQ(s->message(*s->findArea("EMAIL"), 1)->Record, cases[0].first);
}

TEST_F(JamStore, FlagWordsComeBackAndAttributesTellOtherToolsWhatToSend) {
    auto s = openStore(dir);
    std::size_t email = s->createArea({"EMAIL", "Fidonet", 9});
    s->addMessage(email, record("\x01MSGID: 0:0/0 00000001\r\nTo: a@b.de\r\nText\r\n", 0x0840));
    s->addMessage(email, record("Protokoll\r\n", 0));
    s->addMessage(email, record("x\r\n", 0x0841));
    auto msgs = onDisk();
    EXPECT_EQ(msgs[0].Header.Attribute & (attr::Local | attr::Sent), attr::Local);
    EXPECT_EQ(*msgs[0].Header.find(sub::MsgId), "0:0/0 00000001");
    EXPECT_EQ(msgs[0].Header.MSGIDcrc, crc("0:0/0 00000001"));
    // Anything but 0x0840 has nothing left to send, so no scanner exports it either.
    EXPECT_TRUE(msgs[1].Header.Attribute & attr::Sent);
    EXPECT_TRUE(msgs[2].Header.Attribute & attr::Sent);

    s->setFlags(email, 1, 0x0080);
    s->setFlags(email, 3, 0x0840);
    msgs = onDisk();
    EXPECT_EQ(msgs[0].Header.Attribute & (attr::Local | attr::Sent), attr::Local | attr::Sent);
    EXPECT_EQ(msgs[2].Header.Attribute & (attr::Local | attr::Sent), attr::Local);
    s.reset();
    s = openStore(dir);
    email = *s->findArea("EMAIL");
    EXPECT_EQ(s->message(email, 1)->Flags, 0x0080);
    EXPECT_EQ(s->message(email, 2)->Flags, 0);
    EXPECT_EQ(s->message(email, 3)->Flags, 0x0840);
    // The record itself stays as the plug-in sent it.
    EXPECT_EQ(s->message(email, 1)->Header().Flags, 0x0840);

    // A tosser sent message 3 meanwhile: the attributes win over the remembered word.
    Area a(dir + "/email");
    Message m3 = onDisk()[2];
    a.update(m3, [](MsgHeader& h) { h.Attribute |= attr::Sent; });
    EXPECT_EQ(s->messageCount(email), 3u);
    EXPECT_EQ(s->message(email, 3)->Flags, 0x0080);

    // Another tool grew message 1's header, moving it, after edhost last looked.
    Message m1 = onDisk()[0];
    a.update(m1, [](MsgHeader& h) { h.Subfields.push_back({sub::FtsKludge, 0, "NOTE: neu"}); });
    s->setFlags(email, 1, 0x0840);
    EXPECT_EQ(onDisk()[0].Header.Attribute & (attr::Local | attr::Sent), attr::Local);
    EXPECT_EQ(kludges(onDisk()[0].Header).back(), "NOTE: neu");
    EXPECT_EQ(s->message(email, 1)->Flags, 0x0840);
}

TEST_F(JamStore, MessagesOtherToolsWroteReachThePluginAndCanBeMarkedSent) {
    auto s = openStore(dir);
    std::size_t email = s->createArea({"EMAIL", "Fidonet", 9});
    s->addMessage(email, record("eigene\r\n", 0x2014));
    ASSERT_EQ(s->messageCount(email), 1u);

    // A newsreader gateway posts a reply while edhost holds the base.
    MsgHeader h;
    h.Subfields = {{sub::SenderName, 0, "Max Muster"},
                   {sub::ReceiverName, 0, "anna@example.org"},
                   {sub::Subject, 0, "Re: Hallo"},
                   {sub::OAddress, 0, "2:240/1234.5"},
                   {sub::FtsKludge, 0, "REPLYADDR max@example.org"},
                   {sub::MsgId, 0, "2:240/1234.5 6b16824c"},
                   {sub::FtsKludge, 0, "TZUTC: 0100"}};
    h.Attribute = attr::Local | attr::TypeEcho;
    h.DateWritten = 1700000000 + 3600;
    Area(dir + "/email").append(h, "Hallo Anna\r\r---\r");

    ASSERT_EQ(s->messageCount(email), 2u);
    const auto m = s->message(email, 2);
    EXPECT_EQ(m->Flags, 0x0840);
    EXPECT_EQ(m->Written, 1700000000);
    EXPECT_EQ(m->Header().FromUserName.str(), "Max Muster");
    EXPECT_EQ(m->Header().ToUserName.str(), "anna@example.org");
    EXPECT_EQ(m->Header().Subject.str(), "Re: Hallo");
    EXPECT_EQ(m->Header().Addr1, (TFidoAddr{2, 240, 1234, 5}));
    EXPECT_TRUE(recordProblem(m->Record).empty());
    // The host's own first line, the kludges, then the text with CR LF.
    EXPECT_EQ(m->Text(), "\x01MSGID: 2:240/1234.5 6b16824c\r\n"
                         "\x01REPLYADDR max@example.org\r\n"
                         "\x01TZUTC: 0100\r\n"
                         "Hallo Anna\r\n\r\n---\r\n");

    const std::string text = m->Text();
    s->setFlags(email, 2, 0x0080);
    EXPECT_EQ(s->message(email, 2)->Flags, 0x0080);
    auto msgs = onDisk();
    EXPECT_TRUE(msgs[1].Header.Attribute & attr::Sent);
    EXPECT_EQ(msgs[1].Header.Attribute & attr::TypeEcho, attr::TypeEcho);
    // A word the attributes cannot say needs a subfield of its own: the header grows and is
    // re-appended, and the word survives a restart.
    s->setFlags(email, 2, 0x0841);
    s.reset();
    s = openStore(dir);
    email = *s->findArea("EMAIL");
    ASSERT_EQ(s->messageCount(email), 2u);
    EXPECT_EQ(s->message(email, 2)->Flags, 0x0841);
    EXPECT_EQ(s->message(email, 2)->Text(), text);

    // The host keeps only where each message lies: another tool that grows a header (moving
    // it to the end of the .jhr) while edhost holds the base, and the host reads the message
    // where its index slot points now, with the list unchanged.
    {
        Area other(dir + "/email");
        BaseInfo info;
        auto all = other.readAll(info);
        other.update(all[0], [](MsgHeader& h) { h.Subfields.push_back({sub::FtsKludge, 0, "X-Gelesen: ja"}); });
    }
    const auto first = s->message(email, 1);
    ASSERT_TRUE(first);
    EXPECT_NE(first->Text().find("\x01X-Gelesen: ja\r\n"), std::string::npos) << first->Text();
    EXPECT_NE(first->Text().find("eigene\r\n"), std::string::npos);
    EXPECT_EQ(s->info(email, 1)->Flags, 0x2014);
    EXPECT_EQ(s->info(email, 2)->Header.Subject.str(), "Re: Hallo");
    EXPECT_FALSE(s->message(email, 3));
}

TEST_F(JamStore, KillDuringWritesLeavesOnlyWholeMessagesAndTheAreaWritable) {
    { openStore(dir)->createArea({"EMAIL", "Fidonet", 9}); }
    std::uint32_t total = 0;
    for (int round = 0; round < 4; ++round) {
        // The child says when its first store of the round is done, so a busy machine that
        // schedules it late still has it writing when the kill comes.
        int started[2];
        ASSERT_EQ(::pipe(started), 0);
        pid_t child = ::fork();
        if (child == 0) {
            ::close(started[0]);
            auto s = openStore(dir);
            std::size_t email = *s->findArea("EMAIL");
            for (std::uint32_t i = s->messageCount(email);; ++i) {
                s->addMessage(email, record(std::string(i % 3000, 't') + "\r\n", 0x2014, "Anna",
                                            "Max", "m" + std::to_string(i)));
                if (i % 3 == 0)
                    s->setFlags(email, i + 1, 0x0080);
                if (started[1] >= 0) {
                    (void)!::write(started[1], "x", 1);
                    ::close(started[1]);
                    started[1] = -1;
                }
            }
        }
        ::close(started[1]);
        char byte;
        ASSERT_EQ(::read(started[0], &byte, 1), 1);
        ::close(started[0]);
        ::usleep(20000 + 30000 * round);
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);

        auto s = openStore(dir);
        std::size_t email = *s->findArea("EMAIL");
        std::uint32_t n = s->messageCount(email);
        EXPECT_GT(n, total) << "round " << round;
        int unflagged = 0;
        for (std::uint32_t i = 1; i <= n; ++i) {
            const auto m = s->message(email, i);
            ASSERT_EQ(m->Header().Subject.str(), "m" + std::to_string(i - 1));
            ASSERT_EQ(m->Text().size(), (i - 1) % 3000 + 2);
            ASSERT_EQ(recordProblem(m->Record), "");
            // A kill between a store and its flag change leaves one message unflagged per round.
            if ((i - 1) % 3 != 0) {
                ASSERT_EQ(m->Flags, 0x2014) << i;
            } else if (m->Flags != 0x0080) {
                ASSERT_EQ(m->Flags, 0x2014) << i;
                ++unflagged;
            }
        }
        EXPECT_LE(unflagged, round + 1);
        total = n;
    }
    BaseInfo info;
    EXPECT_EQ(Area(dir + "/email").readAll(info).size(), total);
}

TEST_F(JamStore, DatesAreLocalWallClockWithTheirZone) {
    std::string rec = record("x\r\n", 0x2014);
    auto f = jammap::toJam(rec, 1700000000, 3600);
    EXPECT_EQ(f.Header.DateWritten, 1700000000u + 3600);
    EXPECT_EQ(*f.Header.find(sub::TzUtcInfo), "0100");
    EXPECT_EQ(jammap::fromJam(f.Header, f.Text, 1).Written, 1700000000);
    f = jammap::toJam(rec, 1700000000, -5 * 3600 - 1800);
    EXPECT_EQ(*f.Header.find(sub::TzUtcInfo), "-0530");
    EXPECT_EQ(jammap::fromJam(f.Header, f.Text, 1).Written, 1700000000);
    // A record naming its own zone keeps it, and is not given a second one.
    f = jammap::toJam(record("\x01TZUTC: 0200\r\nx\r\n", 0x2014), 1700000000, 3600);
    EXPECT_EQ(f.Header.DateWritten, 1700000000u + 7200);
    EXPECT_FALSE(f.Header.find(sub::TzUtcInfo));
}

// Date: values as mailers write them, the obsolete forms included; nullopt where a part is
// missing, out of range, or followed by more than comments.
TEST(MailDates, ModernAndObsoleteFormsAndGarbage) {
    constexpr std::int64_t t = 1795593660;   // 2026-11-25 08:01:00 UTC
    const struct {
        const char* value;
        std::optional<MailDate> date;
    } cases[] = {
        {"Wed, 25 Nov 2026 09:01:00 +0100", MailDate{t, 3600}},
        {"25 Nov 2026 09:01:00 +0100", MailDate{t, 3600}},
        {"Wed,25 Nov 2026 03:01 -0500", MailDate{t, -18000}},                        // no seconds
        {" wed , 25 NOV 2026 08:01:00 -0000 (unknown zone)", MailDate{t, 0}},
        {"Wed, 25 Nov 26 03:01:00 EST", MailDate{t, -18000}},                       // two-digit year
        {"Wed, 25 Nov 126 00:01:00 PST", MailDate{t, -28800}},                      // three digits
        {"(sent) Wed (day) , 25 (x (nested) \\) y) Nov\r\n 2026 08 : 01 : 00 GMT", MailDate{t, 0}},
        {"25Nov2026 08:01:00 UT", MailDate{t, 0}},
        {"Wed, 25 Nov 2026 08:01:00 Z", MailDate{t, 0}},                             // military: UTC
        {"Wed, 25 Nov 2026 14:46:00 +0645", MailDate{t, 24300}},
        {"Mon, 1 Jan 1990 00:00:00 +0000", MailDate{631152000, 0}},
        {"Thu, 1 Jan 1970 00:00:00 GMT", MailDate{0, 0}},
        {"Wed, 25 Nov 50 08:01:00 +0000", MailDate{-602783940, 0}},                 // 1950
        {"Tue, 29 Feb 2028 12:00:00 +0000", MailDate{1835438400, 0}},
        {"Wed, 29 Feb 2027 12:00:00 +0000", std::nullopt},
        {"Wed, 25 Nov 2026 24:00:00 +0000", std::nullopt},
        {"Wed, 25 Nov 2026 08:60:00 +0000", std::nullopt},
        {"Wed, 25 Nov 2026 08:01:00 +2400", std::nullopt},
        {"Wed, 25 Nov 2026 08:01:00 + 0100", std::nullopt},
        {"Wed, 25 Nov 2026 08:01:00", std::nullopt},                                 // no zone
        {"Wed, 25 Nov 2026 08:01:00 J", std::nullopt},
        {"Wed, 25 Nov 2026 08:01:00 +0100 trailing words", std::nullopt},
        {"Wed, 25 Nov 2026 8:01:00 +0100", std::nullopt},
        {"Wed 25 Nov 2026 08:01:00 +0100", std::nullopt},
        {"Someday, 25 Nov 2026 08:01:00 +0100", std::nullopt},
        {"Wed, 25 Novem 2026 08:01:00 +0100", std::nullopt},
        {"Wed, 25 Nov 2026 08:01:00 +0100 (open", std::nullopt},
        {"2026-11-25T08:01:00Z", std::nullopt},
        {"", std::nullopt},
        {"Wed, 999 Nov 2026 08:01:00 +0100", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto d = parseMailDate(c.value);
        ASSERT_EQ(d.has_value(), c.date.has_value()) << c.value;
        if (d) {
            EXPECT_EQ(d->Utc, c.date->Utc) << c.value;
            EXPECT_EQ(d->Offset, c.date->Offset) << c.value;
        }
    }
}

// A stored mail is dated by its Date: line, in the writer's zone unless the record names its
// own; a date that is no date, or lies before 1980 or more than a day ahead, leaves the time
// of storing. The time of storing stays in DateProcessed either way.
TEST_F(JamStore, MailIsDatedByItsDateLineWithinSaneBounds) {
    constexpr std::int64_t t = 1795593660, now = t + 3 * 86400;   // stored three days later
    const struct {
        const char* kludges;
        std::int64_t utc;    // the time it is dated by
        int zone;            // the zone DateWritten and DateProcessed are in
        const char* tzutc;   // the TZUTC subfield added ("" for none)
    } cases[] = {
        {"\x01" "Date: Wed, 25 Nov 2026 09:01:00 +0100\r\n\x01\r\n", t, 3600, "0100"},
        {"\x01" "DATE:\r\n\x01  Wed, 25 Nov 2026 (folded)\r\n\x01\t03:01:00 -0500\r\n\x01\r\n", t, -18000, "-0500"},
        {"\x01TZUTC: 0200\r\n\x01" "Date: Wed, 25 Nov 2026 09:01:00 +0100\r\n\x01\r\n", t, 7200, ""},
        {"\x01" "Date: Mon, 31 Dec 1979 23:59:59 +0000\r\n\x01\r\n", now, 3600, "0100"},
        {"\x01" "Date: Sun, 29 Nov 2026 08:01:01 +0000\r\n\x01\r\n", now, 3600, "0100"},
        {"\x01" "Date: Sun, 29 Nov 2026 08:01:00 +0000\r\n\x01\r\n", now + 86400, 0, "0000"},
        {"\x01" "Date: gestern\r\n\x01\r\n", now, 3600, "0100"},
        // Only the Internet header counts: not a second Date:, not one after its end.
        {"\x01" "Date: Wed, 25 Nov 2026 09:01:00 +0100\r\n\x01" "Date: Sun, 1 Nov 2026 00:00:00 +0000\r\n\x01\r\n",
         t, 3600, "0100"},
        {"\x01\r\n\x01" "Date: Wed, 25 Nov 2026 09:01:00 +0100\r\n", now, 3600, "0100"},
    };
    for (const auto& c : cases) {
        const std::string rec = record(std::string(c.kludges) + "Text\r\n", 0x2014);
        auto f = jammap::toJam(rec, now, 3600);
        EXPECT_EQ(f.Header.DateWritten, c.utc + c.zone) << c.kludges;
        EXPECT_EQ(f.Header.DateProcessed, now + c.zone) << c.kludges;
        EXPECT_EQ(f.Header.DateReceived, 0u);
        const std::string* tz = f.Header.find(sub::TzUtcInfo);
        EXPECT_EQ(tz ? *tz : "", c.tzutc) << c.kludges;
        // The record still comes back byte for byte, written at the time it is dated by.
        auto m = jammap::fromJam(f.Header, f.Text, 1);
        EXPECT_EQ(m.Record, rec) << c.kludges;
        EXPECT_EQ(m.Written, c.utc) << c.kludges;
    }
}

TEST_F(JamStore, NewBaseListsItsAreasAndAnOldFormBaseIsRefusedUntouched) {
    {
        auto s = openStore(dir);
        EXPECT_EQ(s->areas().size(), 2u);
        EXPECT_THROW(openStore(dir), StoreError);   // one edhost per base
        s->createArea({"E MAIL/\x01%", "Fidonet", 9});
        s->createArea({"e_mail", "Fidonet", 7});
        EXPECT_THROW(s->createArea({"NETMAIL", "x", 0}), StoreError);
    }
    auto s = openStore(dir);
    auto areas = s->areas();
    ASSERT_EQ(areas.size(), 4u);
    EXPECT_EQ(areas[2].Name, "E MAIL/\x01%");
    EXPECT_EQ(areas[3].Code, 7);
    EXPECT_TRUE(fs::exists(dir + "/e_mail.jhr"));
    EXPECT_TRUE(fs::exists(dir + "/e_mail_2.jhr"));
    s.reset();

    // The single-file form: no JAM base is made beside it, by the library or by the program,
    // and the program says so in one line with a status of its own.
    const std::string old = dir + "/old";
    fs::create_directory(old);
    std::ofstream(old + "/areas.dat") << "EDAREAS1";
    std::ofstream(old + "/area-0001.msgs") << "EDMSGS01";
    EXPECT_THROW(openStore(old), OldBaseError);
    for (const char* command : {"areas", "serve"}) {
        int status = 0;
        const std::string err = edhostSays(std::string(command) + " --base " + old, status);
        EXPECT_EQ(status, 4) << command;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(err.rfind("edhost: " + old + " holds a message base of the older single-file form", 0), 0u)
            << err;
    }
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(old))
        left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"area-0001.msgs", "areas.dat"}));
}

TEST(StoreRecords, RecordsTheHostRefuses) {
    EXPECT_EQ(recordProblem(record("", 0)), "");
    std::string r = record("text", 0);
    EXPECT_NE(recordProblem(r.substr(0, 238)), "");        // no room for the NUL
    EXPECT_NE(recordProblem(r + "x"), "");                  // Size disagrees with the block
    std::string noNul = r;
    noNul.back() = 'x';
    EXPECT_NE(recordProblem(noNul), "");
    std::string longName = r;
    reinterpret_cast<TNewMsgHeader*>(longName.data())->Subject.Len = 72;
    EXPECT_NE(recordProblem(longName), "");
    std::string negative = r;
    reinterpret_cast<TNewMsgHeader*>(negative.data())->Size = -1;
    EXPECT_NE(recordProblem(negative), "");
}

TEST_F(JamStore, BaseIsPrivateAndAWiderOneIsTightenedWhenOpened) {
    const std::string base = dir + "/base";
    auto mode = [](const std::string& p) {
        struct stat st{};
        return ::lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 01;
    };
    openStore(base)->createArea({"EMAIL", "Fidonet", 9});
    EXPECT_EQ(mode(base), 0700u);
    for (const auto& e : fs::directory_iterator(base))
        EXPECT_EQ(mode(e.path().string()), 0600u) << e.path();

    // As an older version left it: open to everyone.
    ::chmod(base.c_str(), 0755);
    for (const auto& e : fs::directory_iterator(base))
        ::chmod(e.path().c_str(), 0644);
    auto s = openStore(base);
    ASSERT_TRUE(s->findArea("EMAIL"));
    s->messageCount(*s->findArea("EMAIL"));
    EXPECT_EQ(mode(base), 0700u);
    for (const char* f : {"/lock", "/areas.lst", "/email.jhr", "/email.jdt", "/email.jdx", "/email.jlr"})
        EXPECT_EQ(mode(base + f), 0600u) << f;
}

// A neighbour who owns the base's folder or one of its files, or may write to one, could swap
// a file for one she can read: such a base is refused whole, by the store and by the program,
// in one German line naming the path, and nothing in it changes.
TEST_F(JamStore, BaseANeighbourOwnsOrMayWriteToIsRefusedUntouched) {
    struct Case {
        const char* file;   // below the base folder ("" for the folder itself)
        const char* change;
    };
    const Case cases[] = {
        {"", "owner"},          {"", "o+w"},          {"", "g+w"},          {"/lock", "owner"},
        {"/areas.lst", "owner"}, {"/areas.lst", "o+w"}, {"/email.jhr", "owner"}, {"/email.jdt", "g+w"},
        {"/email.jdx", "o+w"},   {"/email.jlr", "owner"},
    };
    // Another user, to a test that runs as root, is nobody; a group not the user's own, nogroup.
    constexpr uid_t kNobody = 65534;
    constexpr gid_t kNogroup = 65534;
    auto snapshot = [](const std::string& base) {
        std::vector<std::string> out;
        for (const auto& e : fs::recursive_directory_iterator(base)) {
            struct stat st{};
            ::lstat(e.path().c_str(), &st);
            std::ifstream in(e.path(), std::ios::binary);
            out.push_back(e.path().string() + " " + std::to_string(st.st_mode) + " " +
                          std::to_string(st.st_uid) + " " +
                          std::string(std::istreambuf_iterator<char>(in), {}));
        }
        std::sort(out.begin(), out.end());
        return out;
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + c.change);
        if (std::string_view(c.change) != "o+w" && ::geteuid() != 0)
            continue;   // giving a file away, or to another group, takes root
        const std::string base = dir + "/base" + std::to_string(++n), path = base + c.file;
        {
            auto s = openStore(base);
            s->addMessage(s->createArea({"EMAIL", "Fidonet", 9}), record(kMail, 0x2014));
        }
        struct stat st{};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        if (std::string_view(c.change) == "owner")
            ASSERT_EQ(::chown(path.c_str(), kNobody, st.st_gid), 0);
        else if (std::string_view(c.change) == "g+w")
            ASSERT_EQ(::chown(path.c_str(), st.st_uid, kNogroup) || ::chmod(path.c_str(), st.st_mode | S_IWGRP), 0);
        else
            ASSERT_EQ(::chmod(path.c_str(), st.st_mode | S_IWOTH), 0);
        const auto before = snapshot(base);

        try {
            openStore(base);
            ADD_FAILURE() << "opened";
        } catch (const StoreError& e) {
            EXPECT_NE(std::string(e.what()).find(path + (*c.file ? " der Nachrichtenbasis" : " ")),
                      std::string::npos) << e.what();
        }
        for (const char* command : {"serve", "list EMAIL"}) {
            int status = 0;
            const std::string out = edhostSays(std::string(command) + " --base " + base, status);
            EXPECT_NE(status, 0) << command;
            EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
            EXPECT_NE(out.find(path), std::string::npos) << out;
            EXPECT_NE(out.find(std::string_view(c.change) == "owner" ? "gehört nobody" : "für andere Benutzer beschreibbar"),
                      std::string::npos) << out;
        }
        EXPECT_EQ(snapshot(base), before);
    }
}

} // namespace
} // namespace pb::edhost
