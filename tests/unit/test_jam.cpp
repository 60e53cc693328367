// The JAM format layer: the CRC other tools compute, the byte layout of headers and subfields,
// readers that survive what other tools leave in a base, and the byte-0 lock other tools honour.
#include "Jam.h"
#include "support/TempRoot.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace pb::jam {
namespace {

namespace fs = std::filesystem;

MsgHeader header(const std::string& to, const std::string& subject) {
    MsgHeader h;
    h.Subfields = {{sub::SenderName, 0, "Max Muster"}, {sub::ReceiverName, 0, to},
                   {sub::Subject, 0, subject}};
    h.Attribute = attr::Local | attr::TypeEcho;
    return h;
}

class JamBase : public ::testing::Test {
protected:
    void SetUp() override { Area::create(path); }

    std::string file(const char* ext) {
        std::ifstream in(path + ext, std::ios::binary);
        std::ostringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    void writeFile(const char* ext, const std::string& data) {
        std::ofstream(path + ext, std::ios::binary | std::ios::trunc) << data;
    }

    test::TempDir tmp_{"pb-jam"};
    std::string dir = tmp_.path(), path = dir + "/area";
};

TEST(JamCrc, MatchesTheValuesOtherToolsCompute) {
    EXPECT_EQ(crc("Max Muster"), 0xcad70d20u);
    EXPECT_EQ(crc("All"), 0xc4e78e22u);
    EXPECT_EQ(crc("2:240/1234.5 00000001"), 0x2ab0e364u);
    EXPECT_EQ(crc(""), 0xffffffffu);
    // Letters are folded before hashing, only A-Z: the index finds "MAX MUSTER" as "max muster".
    EXPECT_EQ(crc("MAX MUSTER"), crc("max muster"));
    EXPECT_NE(crc("\xC4"), crc("\xE4"));
}

TEST(JamEncoding, HeaderAndSubfieldsSitAtTheirOffsetsLittleEndian) {
    MsgHeader h = header("All", "Hallo");
    h.MessageNumber = 0x01020304;
    h.Attribute = 0x80000001;
    h.TxtOffset = 0x11223344;
    h.TxtLen = 7;
    h.Subfields.push_back({0x7777, 0, std::string("\0\x01\xFF", 3)});   // unknown id, binary data
    std::string b = encodeHeader(h);
    ASSERT_EQ(b.size(), kFixedHeader + 3 * 8 + 10 + 3 + 5 + 8 + 3);
    EXPECT_EQ(b.substr(0, 4), std::string("JAM\0", 4));
    EXPECT_EQ(getU32(b, 8), b.size() - kFixedHeader);   // SubfieldLen excludes the fixed part
    EXPECT_EQ(b.substr(4, 2), std::string("\x01\x00", 2));
    EXPECT_EQ(getU32(b, 48), 0x01020304u);
    EXPECT_EQ(b.substr(52, 4), std::string("\x01\x00\x00\x80", 4));
    EXPECT_EQ(getU32(b, 60), 0x11223344u);
    EXPECT_EQ(getU32(b, 64), 7u);
    EXPECT_EQ(getU32(b, 68), 0xFFFFFFFFu);
    // First subfield: LoID 2, HiID 0, DatLen 10, "Max Muster".
    EXPECT_EQ(b.substr(76, 8), std::string("\x02\x00\x00\x00\x0A\x00\x00\x00", 8));
    EXPECT_EQ(b.substr(84, 10), "Max Muster");

    std::size_t size = 0;
    auto back = decodeHeader(b + "trailing bytes of the next header", &size);
    ASSERT_TRUE(back);
    EXPECT_EQ(size, b.size());
    EXPECT_EQ(encodeHeader(*back), b);
    ASSERT_EQ(back->Subfields.size(), 4u);
    EXPECT_EQ(back->Subfields[3].LoID, 0x7777);
    EXPECT_EQ(back->Subfields[3].Data, std::string("\0\x01\xFF", 3));

    BaseInfo info;
    info.ModCounter = 5;
    info.BaseMsgNum = 40;
    std::string block = encodeInfo(info);
    ASSERT_EQ(block.size(), kInfoSize);
    EXPECT_EQ(getU32(block, 16), 0xFFFFFFFFu);
    EXPECT_EQ(decodeInfo(block).BaseMsgNum, 40u);
    EXPECT_THROW(decodeInfo(block.substr(0, 100)), JamError);
}

TEST(JamEncoding, EveryCutOfAHeaderIsRejectedAndNeverReadPastItsEnd) {
    MsgHeader h = header("Anna Beispiel", "Betreff");
    h.Subfields.push_back({sub::FtsKludge, 0, "CHRS: LATIN-1 2"});
    std::string b = encodeHeader(h);
    for (std::size_t n = 0; n < b.size(); ++n) {
        // A copy of exactly n bytes, so the sanitizer sees any read past them.
        std::unique_ptr<char[]> cut(new char[n ? n : 1]);
        std::memcpy(cut.get(), b.data(), n);
        EXPECT_FALSE(decodeHeader(std::string_view(cut.get(), n))) << "cut at " << n;
    }
    EXPECT_TRUE(decodeHeader(b));
    // A subfield whose DatLen runs past SubfieldLen, with more bytes in the file behind it.
    std::string bad = b;
    bad[76 + 4] = 0x7F;
    EXPECT_FALSE(decodeHeader(bad + std::string(400, 'x')));
    // SubfieldLen larger than the file.
    bad = b;
    bad[11] = 0x10;
    EXPECT_FALSE(decodeHeader(bad));
}

TEST_F(JamBase, NewBaseHasAllFourFilesAndIsNeverCreatedOverAnOldOne) {
    for (const char* e : {".jhr", ".jdt", ".jdx", ".jlr"})
        EXPECT_TRUE(fs::exists(path + e)) << e;
    BaseInfo info = decodeInfo(file(".jhr"));
    EXPECT_EQ(info.ModCounter, 0u);
    EXPECT_EQ(info.ActiveMsgs, 0u);
    EXPECT_EQ(info.BaseMsgNum, 1u);
    EXPECT_EQ(info.PasswordCRC, 0xFFFFFFFFu);
    Area(path).append(header("All", "eins"), "x\r");
    EXPECT_THROW(Area::create(path), JamError);
    EXPECT_EQ(Area(path).readAll(info).size(), 1u);
    fs::remove(path + ".jlr");   // a base missing one file is refused, not repaired by wiping
    EXPECT_THROW(Area{path}, JamError);
}

TEST_F(JamBase, AppendsInOrderCountsAndIndexesByReceiver) {
    Area a(path);
    std::uint32_t before = 99;
    Message m1 = a.append(header("All", "eins"), "Zeile\r", &before);
    EXPECT_EQ(before, 0u);
    Message m2 = a.append(header("Max Muster", "zwei"), "", &before);
    EXPECT_EQ(before, 1u);
    EXPECT_EQ(m1.Header.MessageNumber, 1u);
    EXPECT_EQ(m2.Header.MessageNumber, 2u);
    EXPECT_EQ(m2.Header.TxtOffset, 6u);

    std::string idx = file(".jdx");
    ASSERT_EQ(idx.size(), 16u);
    EXPECT_EQ(getU32(idx, 0), 0xc4e78e22u);   // "All"
    EXPECT_EQ(getU32(idx, 4), kInfoSize);
    EXPECT_EQ(getU32(idx, 8), 0xcad70d20u);   // "Max Muster"
    EXPECT_EQ(getU32(idx, 12), m2.HdrOffset);
    EXPECT_EQ(file(".jdt"), "Zeile\r");
    BaseInfo info = decodeInfo(file(".jhr"));
    EXPECT_EQ(info.ActiveMsgs, 2u);
    EXPECT_EQ(info.ModCounter, 2u);
    EXPECT_EQ(a.modCounter(), 2u);

    // A kill in the middle of an index write leaves a partial record: the next message takes
    // its place instead of landing misaligned behind it.
    writeFile(".jdx", idx + "\x01\x02\x03");
    Message m3 = a.append(header("All", "drei"), "");
    EXPECT_EQ(m3.Header.MessageNumber, 3u);
    EXPECT_EQ(file(".jdx").size(), 24u);
    auto all = a.readAll(info);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(*all[2].Header.find(sub::Subject), "drei");
}

TEST_F(JamBase, ReaderSkipsEmptySlotsDeletedAndDamagedHeadersAndKeepsUnknownSubfields) {
    {
        Area a(path);
        for (const char* s : {"eins", "zwei", "drei", "vier"}) {
            MsgHeader h = header("All", s);
            h.Subfields.push_back({0x1234, 0, "unbekannt"});
            a.append(h, s);
        }
    }
    std::string hdr = file(".jhr");
    std::string idx = file(".jdx");
    // Slot 0 emptied as tools delete, header 2 marked deleted, header 3's SubfieldLen overruns
    // the file, and the base was packed once (numbers start at 10).
    idx.replace(0, 8, std::string(8, '\xFF'));
    ASSERT_EQ(idx.size(), 32u);
    std::uint32_t h2 = getU32(idx, 12), h3 = getU32(idx, 20);
    ASSERT_LT(h3, hdr.size());
    hdr[h2 + 55] = '\x80';
    std::string big;
    putU32(big, 0x00FFFFFF);
    hdr.replace(h3 + 8, 4, big);
    std::string base;
    putU32(base, 10);
    hdr.replace(20, 4, base);
    writeFile(".jhr", hdr);
    writeFile(".jdx", idx);

    BaseInfo info;
    std::size_t problems = 0;
    auto all = Area(path).readAll(info, &problems);
    EXPECT_EQ(info.BaseMsgNum, 10u);
    EXPECT_EQ(problems, 1u);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].Slot, 3u);
    EXPECT_EQ(*all[0].Header.find(sub::Subject), "vier");
    EXPECT_EQ(*all[0].Header.find(0x1234), "unbekannt");
    EXPECT_EQ(all[0].Text, "vier");
}

TEST_F(JamBase, AHeaderThatGrowsIsReappendedAndTheOldCopyDeleted) {
    Area a(path);
    a.append(header("All", "eins"), "eins");
    Message m = a.append(header("All", "zwei"), "zwei");
    std::uint32_t oldOffset = m.HdrOffset;
    // Same size: rewritten in place.
    a.update(m, [](MsgHeader& h) { h.Attribute |= attr::Sent; });
    EXPECT_EQ(m.HdrOffset, oldOffset);
    a.update(m, [](MsgHeader& h) { h.Subfields.push_back({sub::FtsKludge, 0, "NOTE: mehr"}); });
    EXPECT_GT(m.HdrOffset, oldOffset);

    std::string hdr = file(".jhr");
    auto old = decodeHeader(std::string_view(hdr).substr(oldOffset));
    ASSERT_TRUE(old);
    EXPECT_TRUE(old->Attribute & attr::Deleted);
    EXPECT_EQ(old->TxtLen, 0u);
    EXPECT_EQ(getU32(file(".jdx"), 12), m.HdrOffset);
    BaseInfo info;
    auto all = a.readAll(info);
    EXPECT_EQ(info.ActiveMsgs, 2u);
    EXPECT_EQ(info.ModCounter, 4u);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_TRUE(all[1].Header.Attribute & attr::Sent);
    EXPECT_EQ(all[1].Text, "zwei");
    EXPECT_EQ(all[1].Header.Subfields.back().Data, "NOTE: mehr");

    // Someone else moved the message meanwhile: refused, not written into a stale place.
    Message stale = m;
    stale.HdrOffset = oldOffset;
    EXPECT_THROW(a.update(stale, [](MsgHeader&) {}), JamError);
}

TEST_F(JamBase, WritersWaitForTheByteZeroLockOfOtherTools) {
    int go[2], held[2];
    ASSERT_EQ(::pipe(go), 0);
    ASSERT_EQ(::pipe(held), 0);
    pid_t child = ::fork();
    if (child == 0) {
        // Another tool's way: a classic POSIX record lock on byte 0 of the .jhr.
        int fd = ::open((path + ".jhr").c_str(), O_RDWR);
        struct flock fl{};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_len = 1;
        char c = ::fcntl(fd, F_SETLK, &fl) == 0 ? 'y' : 'n';
        (void)!::write(held[1], &c, 1);
        (void)!::read(go[0], &c, 1);
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(held[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    Area a(path);
    EXPECT_THROW(Area::Lock(a.headerFd(), true, 150), JamError);
    EXPECT_THROW(Area::Lock(a.headerFd(), false, 150), JamError);   // readers wait as well
    EXPECT_EQ(a.modCounter(), 0u);

    // Released while we wait: the append goes through.
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        (void)!::write(go[1], "x", 1);
    });
    a.append(header("All", "nach dem Warten"), "");
    release.join();
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(a.modCounter(), 1u);

    // Our own lock keeps the other tool out, and is gone with the guard.
    pid_t probe = -1;
    auto otherToolCanLock = [&] {
        probe = ::fork();
        if (probe == 0) {
            int fd = ::open((path + ".jhr").c_str(), O_RDWR);
            struct flock fl{};
            fl.l_type = F_WRLCK;
            fl.l_whence = SEEK_SET;
            fl.l_len = 1;
            ::_exit(::fcntl(fd, F_SETLK, &fl) == 0 ? 0 : 1);
        }
        int status = 0;
        ::waitpid(probe, &status, 0);
        return WEXITSTATUS(status) == 0;
    };
    {
        Area::Lock lock(a.headerFd(), true);
        EXPECT_FALSE(otherToolCanLock());
    }
    EXPECT_TRUE(otherToolCanLock());
    for (int fd : {go[0], go[1], held[0], held[1]})
        ::close(fd);
}

} // namespace
} // namespace pb::jam
