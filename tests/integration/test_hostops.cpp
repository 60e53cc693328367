// The host operations against a real edhost: what each returns, and each status the host can
// answer turned into the operation's own exception and text.
#include "host/EchodeskAPI.h"
#include "platform/Session.h"
#include "platform/SharedMemory.h"
#include "support/EdhostProcess.h"

#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <regex>
#include <thread>
#include <typeinfo>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace pb {
namespace {

using test::EdhostProcess;

std::string hex(std::uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08X", v);
    return b;
}

// The class name and text of the EAPIError an operation raises ("" when none).
template <typename F>
std::string failure(F&& op) {
    try {
        op();
    } catch (const ECmdFailed& e) {
        return std::string("ECmdFailed: ") + e.what();
    } catch (const EWrongFormat& e) {
        return std::string("EWrongFormat: ") + e.what();
    } catch (const ENotConnected& e) {
        return std::string("ENotConnected: ") + e.what();
    } catch (const EAreaInUse& e) {
        return std::string("EAreaInUse: ") + e.what();
    } catch (const EAreaNotOpen& e) {
        return std::string("EAreaNotOpen: ") + e.what();
    } catch (const EAreaOpenFailed& e) {
        return std::string("EAreaOpenFailed: ") + e.what();
    } catch (const EAreaUnknown& e) {
        return std::string("EAreaUnknown: ") + e.what();
    } catch (const EAreaExists& e) {
        return std::string("EAreaExists: ") + e.what();
    } catch (const EMsgBadIndex& e) {
        return std::string("EMsgBadIndex: ") + e.what();
    } catch (const EUplinkUnknown& e) {
        return std::string("EUplinkUnknown: ") + e.what();
    } catch (const EUnknownAPIError& e) {
        return std::string("EUnknownAPIError: ") + e.what();
    }
    return "";
}

TNewMsg message(const std::string& to, const std::string& from, const std::string& subject,
                const std::string& text, std::uint16_t flags = 0x2014) {
    TNewMsg m(text);
    m.Header().ToUserName.assign(to);
    m.Header().FromUserName.assign(from);
    m.Header().Subject.assign(subject);
    m.Header().Flags = flags;
    return m;
}

class HostOps : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(host.running());
        api.Connect();
        ASSERT_TRUE(api.Connected());
    }
    EdhostProcess host;
    TEchodeskAPI api;
};

TEST_F(HostOps, AreaListAndCreateArea) {
    std::vector<std::string> names;
    std::vector<std::uint8_t> values;
    api.GetAreaList(names, &values);
    EXPECT_EQ(names, (std::vector<std::string>{"NETMAIL", "REPORT"}));
    EXPECT_EQ(values, (std::vector<std::uint8_t>{0, 0}));   // value bytes 0 between the names

    api.CreateArea("EMAIL", "Fidonet", 9);
    api.GetAreaList(names, &values);
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[2], "EMAIL");
    EXPECT_EQ(values[2], 9);
    EXPECT_NE(host.run({"areas"}).find("EMAIL            Fidonet    code   9"), std::string::npos);

    EXPECT_EQ(failure([&] { api.CreateArea("email", "Fidonet", 9); }),
              "EAreaExists: Area already exists!");
    EXPECT_EQ(failure([&] { api.CreateArea("", "Fidonet", 9); }), "EWrongFormat: Wrong data format!");

    api.CreateArea(std::string(300, 'L'), "Fidonet", 1);   // cut to its field
    api.GetAreaList(names);
    EXPECT_EQ(names.back(), std::string(255, 'L'));
}

TEST_F(HostOps, StoredMessagesCanBeWalkedReadAndFlagged) {
    api.OpenArea("report");   // area names in any letter case
    api.StoreNewMsg(message("Sysop", "Postbridge", "eins", "erste\r\n"));
    api.StoreNewMsg(message("Sysop", "Postbridge", "zwei", "zweite\r\n", 0x0840));
    api.StoreNewMsg(message("Sysop", "Postbridge", "drei", ""));

    TMessageList list;
    api.GetMsgList(list);
    ASSERT_EQ(list.Count(), 4);   // the area's own entry, then the three messages
    std::vector<std::string> subjects;
    for (int i = 1; i < list.Count(); ++i) {
        auto m = api.GetMsg(i);
        ASSERT_TRUE(m);
        subjects.push_back(m->Subject());
        EXPECT_EQ(m->ToUserName(), "Sysop");
        EXPECT_EQ(m->FromUserName(), "Postbridge");
    }
    EXPECT_EQ(subjects, (std::vector<std::string>{"eins", "zwei", "drei"}));
    EXPECT_EQ(api.GetMsg(1)->Text(), "erste\r\n");
    EXPECT_EQ(api.GetMsg(0), nullptr);

    EXPECT_EQ(api.GetMsgFlags(2), 0x0840);
    api.SetMsgFlags(2, 0x0080);
    EXPECT_EQ(api.GetMsgFlags(2), 0x0080);
    EXPECT_EQ(host.run({"flags", "REPORT", "2"}), "0x0080\n");
    EXPECT_EQ(failure([&] { api.GetMsg(4); }), "EMsgBadIndex: Message Index out of range!");
    EXPECT_EQ(failure([&] { api.GetMsgFlags(4); }), "EMsgBadIndex: Messageindex out of Range");
    EXPECT_EQ(failure([&] { api.SetMsgFlags(-1, 1); }), "EMsgBadIndex: Messageindex out of Range");
    api.CloseArea();
    EXPECT_EQ(failure([&] { api.CloseArea(); }), "EAreaNotOpen: No area open to close");

    // The message base outlives the host.
    host.stop();
    ASSERT_TRUE(host.start());
    std::string listed = host.run({"list", "REPORT"});
    EXPECT_NE(listed.find("2  0080  Postbridge  ->  Sysop  zwei"), std::string::npos) << listed;
    EXPECT_NE(listed.find("3  2014"), std::string::npos) << listed;
}

TEST_F(HostOps, RecordsAreStoredByteForByte) {
    api.OpenArea("NETMAIL");
    TNewMsg empty = message("A", "B", "leer", "");
    ASSERT_EQ(empty.size(), 239u);
    api.StoreNewMsg(empty);
    TNewMsg m = message("Empf\xE4nger", "Absender", "Betreff", "\x01KLUDGE\r\nText\r\n");
    m.Header().AuxText.assign("Postbridge Alpha 4");
    m.Header().Addr1 = {2, 240, 5, 7};
    api.StoreNewMsg(m);
    EXPECT_EQ(host.run({"dump", "NETMAIL", "1", "--raw"}),
              std::string(reinterpret_cast<const char*>(empty.data()), empty.size()));
    EXPECT_EQ(host.run({"dump", "NETMAIL", "2", "--raw"}),
              std::string(reinterpret_cast<const char*>(m.data()), m.size()));
    std::string shown = host.run({"show", "NETMAIL", "2"});
    EXPECT_NE(shown.find("To:      Empfänger"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\n@KLUDGE\nText\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("(2:240/5.7)"), std::string::npos) << shown;
}

TEST_F(HostOps, HostRefusesMalformedRecords) {
    api.OpenArea("NETMAIL");
    TNewMsg longName = message("x", "y", "z", "text");
    longName.Header().ToUserName.Len = 60;   // longer than its 35-byte field
    EXPECT_EQ(failure([&] { api.StoreNewMsg(longName); }), "EWrongFormat: Wrong data format!");

    std::vector<std::uint8_t> noNul(240, 'x');
    auto* h = reinterpret_cast<TNewMsgHeader*>(noNul.data());
    *h = TNewMsgHeader{};
    h->Size = 240;
    EXPECT_EQ(failure([&] { api.StoreNewMsg(*h); }), "EWrongFormat: Wrong data format!");

    // A block bigger than the record's own Size says.
    {
        SharedMapping block(edapi::blockName(edapi::BlkStoreNew, currentThreadId()), 300);
        ASSERT_TRUE(block.Created());
        TNewMsg small("abc");
        std::memcpy(block.Data(), small.data(), small.size());
        std::int32_t reply = 0;
        ASSERT_TRUE(api.PostAndWait(api.HostThreadId(), edapi::StoreNewMsg, 0, 300, reply));
        EXPECT_EQ(reply, edapi::WrongFormat);
        // And a command that names more bytes than the block has.
        ASSERT_TRUE(api.PostAndWait(api.HostThreadId(), edapi::StoreNewMsg, 0, 4000, reply));
        EXPECT_EQ(reply, edapi::ParamFailed);
    }
    // The plug-in does not send a record whose Size claims more than it holds.
    TNewMsg liar("abc");
    liar.Header().Size = 1000;
    EXPECT_EQ(failure([&] { api.StoreNewMsg(liar); }), "EWrongFormat: Wrong data format!");
    EXPECT_EQ(host.run({"list", "NETMAIL"}), "");
}

TEST_F(HostOps, StoreAfterAFailedStoreStillWorks) {
    api.OpenArea("REPORT");
    host.run({"fault", "--answer", "1039", "0x80001003"});
    EXPECT_EQ(failure([&] { api.StoreNewMsg(message("a", "b", "c", "d")); }),
              "EWrongFormat: Wrong data format!");
    EXPECT_FALSE(SharedMapping::exists(edapi::blockName(edapi::BlkStoreNew, currentThreadId())));
    EXPECT_NO_THROW(api.StoreNewMsg(message("a", "b", "c", "d")));
}

// A store posted and collected later: a command made in between waits for the store's answer
// first and keeps it, so each gets its own reply and the store's failure comes with the collect.
TEST_F(HostOps, CommandsBetweenPostAndCollectKeepEachReply) {
    api.OpenArea("REPORT");
    host.run({"fault", "--answer", "1039", "0x80001003"});
    api.PostStoreNewMsg(message("a", "b", "eins", "d"));
    EXPECT_TRUE(api.StoreOutstanding());
    std::vector<std::string> areas;
    api.GetAreaList(areas);
    EXPECT_EQ(areas, (std::vector<std::string>{"NETMAIL", "REPORT"}));
    EXPECT_EQ(failure([&] { api.CollectStore(); }), "EWrongFormat: Wrong data format!");
    EXPECT_FALSE(api.StoreOutstanding());

    api.PostStoreNewMsg(message("a", "b", "zwei", "d"));
    api.StoreNewMsg(message("a", "b", "drei", "d"));   // a store of its own meanwhile
    EXPECT_NO_THROW(api.CollectStore());
    const std::string listed = host.run({"list", "REPORT"});
    EXPECT_LT(listed.find("zwei"), listed.find("drei")) << listed;
    EXPECT_EQ(listed.find("eins"), std::string::npos) << listed;
}

// A close that serves the window while the host makes the area durable: a command made by an
// event meanwhile waits for the close's answer first, and each gets its own.
TEST_F(HostOps, CloseServingEventsKeepsItsReplyFromACommandMadeMeanwhile) {
    api.ReplyTimeoutMs = 5000;
    api.OpenArea("REPORT");
    api.StoreNewMsg(message("a", "b", "eins", "d"));
    std::vector<std::string> areas;
    QTimer::singleShot(0, [&] { api.GetAreaList(areas); });
    EXPECT_EQ(failure([&] { api.CloseArea(TEchodeskAPI::TWait::ServingEvents); }), "");
    QCoreApplication::processEvents();
    EXPECT_EQ(areas, (std::vector<std::string>{"NETMAIL", "REPORT"}));
    EXPECT_EQ(failure([&] { api.CloseArea(TEchodeskAPI::TWait::ServingEvents); }),
              "EAreaNotOpen: No area open to close");
}

// A large record is copied for the host in steps, the caller's turn between them; a store made
// by one of those turns is refused (the block is the record's), and the host stores the record
// just as one handed over in one piece.
TEST_F(HostOps, LargeRecordCopiedInStepsStoredWhole) {
    api.OpenArea("REPORT");
    std::string text((8 << 20) + 100, 'x');
    for (std::size_t i = 0; i < text.size(); i += 1000)
        text[i] = static_cast<char>('a' + i / 1000 % 26);
    int turns = 0;
    std::string refused;
    api.PostStoreNewMsg(message("a", "b", "gross", text), [&] {
        ++turns;
        try {
            api.StoreNewMsg(message("a", "b", "dazwischen", "d"));
        } catch (const std::logic_error& e) {
            refused = e.what();
        }
    });
    EXPECT_EQ(failure([&] { api.CollectStore(TEchodeskAPI::TWait::ServingEvents); }), "");
    EXPECT_EQ(turns, 2);
    EXPECT_NE(refused, "");
    api.StoreNewMsg(message("a", "b", "gross", text));
    const std::string listed = host.run({"list", "REPORT"});
    EXPECT_EQ(listed.find("dazwischen"), std::string::npos) << listed;
    EXPECT_EQ(host.run({"dump", "REPORT", "1", "--raw"}), host.run({"dump", "REPORT", "2", "--raw"}));
}

// The thread keeps its store block between stores. When the name has been taken from it (its
// block removed, another made under the name) the store fails without posting, and leaves the
// other block alone.
TEST_F(HostOps, StoreRefusesABlockNameTakenFromIt) {
    api.OpenArea("REPORT");
    api.StoreNewMsg(message("a", "b", "eins", "d"));
    const std::string name = edapi::blockName(edapi::BlkStoreNew, currentThreadId());
    SharedMapping::remove(name);
    {
        SharedMapping other(name, 4096);
        ASSERT_TRUE(other.Created());
        EXPECT_EQ(failure([&] { api.StoreNewMsg(message("a", "b", "zwei", "d")); }),
                  "ECmdFailed: Parameter passing failed!");
        EXPECT_TRUE(SharedMapping::exists(name));
    }
    api.StoreNewMsg(message("a", "b", "drei", "d"));
    const std::string listed = host.run({"list", "REPORT"});
    EXPECT_NE(listed.find("eins"), std::string::npos) << listed;
    EXPECT_EQ(listed.find("zwei"), std::string::npos) << listed;
    EXPECT_NE(listed.find("drei"), std::string::npos) << listed;
}

// Whether a process is being traced (strace has attached).
bool traced(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("TracerPid:", 0) == 0)
            return std::stoi(line.substr(10)) != 0;
    return false;
}

// A plug-in may delete its mails on the server once the host has answered the close, so the
// stored messages must be on disk by then: the host syncs the area's files before it answers,
// once per close rather than once per message. Watched with strace on the serving host.
TEST_F(HostOps, CloseAreaAnswersOnlyOnceTheMessagesAreOnDisk) {
    if (std::system("command -v strace >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "strace is not installed";
    const std::string trace = host.base() + "/strace.out";
    const pid_t strace = ::fork();
    ASSERT_GE(strace, 0);
    if (strace == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        const std::string pid = std::to_string(host.pid());
        ::execlp("strace", "strace", "-f", "-qq", "-e", "trace=fsync,fdatasync,sendto", "-o", trace.c_str(), "-p",
                 pid.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    for (int i = 0; i < 500 && !traced(host.pid()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const bool attached = traced(host.pid());

    api.OpenArea("REPORT");
    for (const char* subject : {"eins", "zwei", "drei"})
        api.StoreNewMsg(message("Sysop", "Postbridge", subject, "Text\r\n"));
    api.CloseArea();
    ::kill(strace, SIGINT);
    int status = 0;
    ::waitpid(strace, &status, 0);
    if (!attached)
        GTEST_SKIP() << "strace cannot attach here";

    // One letter per call: S for a message the host sent, F for a sync.
    std::string calls;
    std::ifstream in(trace);
    for (std::string line; std::getline(in, line);)
        if (line.find("sendto(") != std::string::npos)
            calls += 'S';
        else if (line.find("sync(") != std::string::npos)
            calls += 'F';
    // The answers to the open and the stores, the three files synced, the answer to the close.
    EXPECT_TRUE(std::regex_match(calls, std::regex("S{4}F{3}S"))) << calls;
}

TEST_F(HostOps, MessageOperationsNeedAnOpenArea) {
    TMessageList list;
    EXPECT_EQ(failure([&] { api.GetMsgList(list); }), "EAreaNotOpen: No Area open!");
    EXPECT_EQ(failure([&] { api.GetMsg(1); }), "EAreaNotOpen: No Area open!");
    EXPECT_EQ(failure([&] { api.GetMsgFlags(1); }), "EAreaNotOpen: No Area open!");
    EXPECT_EQ(failure([&] { api.SetMsgFlags(1, 0); }), "EAreaNotOpen: No Area open!");
    EXPECT_EQ(failure([&] { api.StoreNewMsg(message("a", "b", "c", "d")); }),
              "EAreaNotOpen: No Area open!");
    EXPECT_EQ(failure([&] { api.OpenArea("NOWHERE"); }), "EAreaUnknown: Area not found!");
}

struct StatusCase {
    std::uint32_t command;
    std::uint32_t status;
    std::string expected;
};

TEST_F(HostOps, EveryStatusBecomesTheOperationsOwnException) {
    api.CreateArea("EMAIL", "Fidonet", 9);
    api.OpenArea("EMAIL");
    api.StoreNewMsg(message("a", "b", "c", "d"));
    TMessageList list;
    std::vector<std::string> names;
    std::map<std::uint32_t, std::function<void()>> ops = {
        {edapi::AreaList, [&] { api.GetAreaList(names); }},
        {edapi::OpenArea, [&] { api.OpenArea("EMAIL"); }},
        {edapi::CloseArea, [&] { api.CloseArea(); }},
        {edapi::MsgList, [&] { api.GetMsgList(list); }},
        {edapi::GetMsg, [&] { api.GetMsg(1); }},
        {edapi::GetMsgFlags, [&] { api.GetMsgFlags(1); }},
        {edapi::SetMsgFlags, [&] { api.SetMsgFlags(1, 0x80); }},
        {edapi::StoreNewMsg, [&] { api.StoreNewMsg(message("a", "b", "c", "d")); }},
        {edapi::CreateArea, [&] { api.CreateArea("NEU", "Fidonet", 9); }},
    };
    const StatusCase cases[] = {
        {edapi::AreaList, 0x80001001, "ECmdFailed: Could not send command!"},
        {edapi::AreaList, 64, "ECmdFailed: Could not get result"},   // no block made
        {edapi::OpenArea, 0x80001001, "ECmdFailed: Could not send parameter!"},
        {edapi::OpenArea, 0x80003001, "EAreaOpenFailed: Could not open area!"},
        {edapi::OpenArea, 0x80003002, "EAreaUnknown: Area not found!"},
        {edapi::OpenArea, 0x80003003, "EAreaInUse: Area in use!"},
        {edapi::OpenArea, 0x80001003, "EUnknownAPIError: Unknown Error"},
        {edapi::OpenArea, 1, "EUnknownAPIError: Unknown Error"},
        {edapi::CloseArea, 0x80001002, "EAreaNotOpen: No area open to close"},
        {edapi::CloseArea, 0x80002001, "EUnknownAPIError: Unknown Error"},
        {edapi::MsgList, 0x80001001, "ECmdFailed: Parameter passing failed!"},
        {edapi::MsgList, 0x80001002, "EAreaNotOpen: No Area open!"},
        {edapi::MsgList, 0x80002001, "EUnknownAPIError: Unexpected API Error!"},
        {edapi::MsgList, 260, "ECmdFailed: Parameter passing failed!"},
        {edapi::GetMsg, 0x80001002, "EAreaNotOpen: No Area open!"},
        {edapi::GetMsg, 0x80002001, "EMsgBadIndex: Message Index out of range!"},
        {edapi::GetMsg, 0x80001001, "EUnknownAPIError: Unexpected Error!"},
        {edapi::GetMsg, 100, "ECmdFailed: Command failed"},
        {edapi::GetMsgFlags, 0x80001002, "EAreaNotOpen: No Area open!"},
        {edapi::GetMsgFlags, 0x80002001, "EMsgBadIndex: Messageindex out of Range"},
        {edapi::GetMsgFlags, 0x80003001, "EUnknownAPIError: Unknown Error"},
        {edapi::SetMsgFlags, 0x80001002, "EAreaNotOpen: No Area open!"},
        {edapi::SetMsgFlags, 0x80002001, "EMsgBadIndex: Messageindex out of Range"},
        {edapi::SetMsgFlags, 1, "EUnknownAPIError: Unknown Error"},
        {edapi::StoreNewMsg, 0x80001001, "ECmdFailed: Parameter passing failed!"},
        {edapi::StoreNewMsg, 0x80001002, "EAreaNotOpen: No Area open!"},
        {edapi::StoreNewMsg, 0x80001003, "EWrongFormat: Wrong data format!"},
        {edapi::StoreNewMsg, 0x80003003, "EUnknownAPIError: Unexpected API Error!"},
        {edapi::CreateArea, 0x80001001, "ECmdFailed: Parameter passing failed!"},
        {edapi::CreateArea, 0x80001003, "EWrongFormat: Wrong data format!"},
        {edapi::CreateArea, 0x80003004, "EAreaExists: Area already exists!"},
        {edapi::CreateArea, 0x80005002, "EUplinkUnknown: Unknown Uplink!"},
        {edapi::CreateArea, 0x80003001, "EUnknownAPIError: Unexpected API Error!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.command) + " answered " + hex(c.status));
        host.run({"fault", "--answer", std::to_string(c.command), std::to_string(c.status)});
        EXPECT_EQ(failure(ops.at(c.command)), c.expected);
    }
    // No result block is left behind by the failures: the next real commands work.
    api.GetMsgList(list);
    EXPECT_EQ(list.Count(), 2);
    EXPECT_TRUE(api.GetMsg(1));
}

TEST_F(HostOps, RepliesThatAreValuesAreTakenAsTheyCome) {
    api.OpenArea("REPORT");
    host.run({"fault", "--answer", "1041", std::to_string(0x12345)});
    EXPECT_EQ(api.GetMsgFlags(1), 0x2345);   // low 16 bits only
    host.run({"fault", "--answer", "1037", std::to_string(0x80001003)});
    TServiceInfo info;
    EXPECT_EQ(api.RegisterService(info), edapi::WrongFormat);   // handed back unchecked
    EXPECT_GT(api.RegisterService(info), 0);
}

TEST_F(HostOps, OperationsAfterDetachFailWithoutPosting) {
    api.Disconnect();
    std::vector<std::string> names;
    EXPECT_EQ(failure([&] { api.OpenArea("X"); }), "ENotConnected: Not connected to Echodesk!");
    EXPECT_EQ(failure([&] { api.GetAreaList(names); }), "ENotConnected: Not connected to Echodesk");
    EXPECT_EQ(failure([&] { api.StoreNewMsg(message("a", "b", "c", "d")); }),
              "ENotConnected: Not connected to Echodesk");
}

TEST_F(HostOps, MessagesWrittenAtTheHostReachThePlugin) {
    api.CreateArea("EMAIL", "Fidonet", 9);
    int code = -1;
    host.run({"write", "EMAIL", "--from", "Jörg", "--to", "Bob", "--subject", "Grüße", "--to-line",
              "bob@example.org", "--text", "Hallo Bob,\nbis bald.\n"},
             &code);
    ASSERT_EQ(code, 0);
    api.OpenArea("EMAIL");
    TMessageList list;
    api.GetMsgList(list);
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(api.GetMsgFlags(1), 0x0840);
    auto m = api.GetMsg(1);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->FromUserName(), "J\xF6rg");
    EXPECT_EQ(m->Subject(), "Gr\xFC\xDF" "e");
    // One line of the host's own, then the text with CR LF line ends.
    auto firstEnd = m->Text().find("\r\n");
    ASSERT_NE(firstEnd, std::string::npos);
    EXPECT_EQ(m->Text().substr(firstEnd + 2), "To: bob@example.org\r\nHallo Bob,\r\nbis bald.\r\n");
}

} // namespace
} // namespace pb
