// The settings file: what is written reads back the same, hand-edited and damaged files read
// as users of the old program expect, and a rewrite never leaves a half file or a file that
// others can read.
#include "mail/Config.h"
#include "platform/Exceptions.h"
#include "support/MainWindowFixture.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace pb {
namespace {

using test::readBytes;
using test::writeBytes;

class ConfigFile : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    std::string file(const char* name = "pbridge.ini") const {
        return (dir.path() + "/" + name).toStdString();
    }
    TSettings read(const std::string& content) {
        writeBytes(file(), content);
        TSettings s;
        ReadConfig(s, file());
        return s;
    }
    QTemporaryDir dir;
};

TSettings sample() {
    TSettings s;
    s.SMTPServer = " smtp.example.org ";  // blanks on both sides must survive
    s.SMTPPort = 2525;
    s.SMTPEmail = ansi("jürgen@example.org");
    s.SMTPLogin = "";
    s.StripInitials = true;
    s.POP3Server = "pop.example.org";
    s.POP3Port = -1;                      // the dialog accepts any integer
    s.POP3User = "  user";
    s.POP3Password = ansi("pa ss wört ");
    s.DeleteFromServer = false;
    s.POP3Security = 2;
    s.SMTPSecurity = 1;
    s.SMTPAuth = true;
    s.SMTPUser = ansi(" jürgen ");
    s.SMTPPassword = "s3cr3t";
    return s;
}

TEST_F(ConfigFile, WrittenFileReadsBackTheSameTenValues) {
    const TSettings s = sample();
    WriteConfig(s, file());
    TSettings back;
    ReadConfig(back, file());
    EXPECT_EQ(back, s);

    TSettings flipped = s;
    flipped.StripInitials = false;
    flipped.DeleteFromServer = true;
    WriteConfig(flipped, file());
    ReadConfig(back, file());
    EXPECT_EQ(back, flipped);
}

TEST_F(ConfigFile, FileIsCrLfLinesInFixedOrder) {
    WriteConfig(sample(), file());
    EXPECT_EQ(readBytes(file()),
              " smtp.example.org \r\n2525\r\nj\xFCrgen@example.org\r\n\r\n1\r\npop.example.org\r\n"
              "-1\r\n  user\r\npa ss w\xF6rt \r\n0\r\n2\r\n1\r\n1\r\n j\xFCrgen \r\ns3cr3t\r\n");
    // Without security settings, the ten lines of old and nothing after them.
    TSettings plain = sample();
    plain.POP3Security = plain.SMTPSecurity = 0;
    plain.SMTPAuth = false;
    plain.SMTPUser = plain.SMTPPassword = "";
    WriteConfig(plain, file());
    EXPECT_EQ(readBytes(file()),
              " smtp.example.org \r\n2525\r\nj\xFCrgen@example.org\r\n\r\n1\r\npop.example.org\r\n"
              "-1\r\n  user\r\npa ss w\xF6rt \r\n0\r\n");
}

// The ten lines of old keep their meaning; the security lines after them are read strictly,
// since a mode guessed as "none" would send the passwords in clear.
TEST_F(ConfigFile, SecurityLinesFollowTheTenOldOnes) {
    const std::string ten = "s\r\n25\r\ne\r\nl\r\n0\r\np\r\n110\r\nu\r\npw\r\n1\r\n";
    const TSettings old = read(ten);
    EXPECT_EQ(old.POP3Security, 0);
    EXPECT_EQ(old.SMTPSecurity, 0);
    EXPECT_FALSE(old.SMTPAuth);
    EXPECT_TRUE(old.DeleteFromServer);
    const TSettings both = read(ten + "1\r\n2\r\n1\r\nme\r\npw2\r\nline 16 of a later version\r\n");
    EXPECT_EQ(both.POP3Security, 1);
    EXPECT_EQ(both.SMTPSecurity, 2);
    EXPECT_TRUE(both.SMTPAuth);
    EXPECT_EQ(both.SMTPPassword, "pw2");
    for (const char* bad : {"3", "x", " 1", "-1"}) {
        SCOPED_TRACE(bad);
        writeBytes(file(), ten + bad + "\r\n");
        TSettings s;
        EXPECT_THROW(ReadConfig(s, file()), EInOutError);
    }
}

// Where the passwords are kept is line 16, written only once chosen: until then the file is the
// one an earlier version wrote and reads.
TEST_F(ConfigFile, PasswordPlaceIsLineSixteenOnceChosen) {
    using Place = TSettings::TSecretPlace;
    const std::string ten = "s\r\n25\r\ne\r\nl\r\n0\r\np\r\n110\r\nu\r\npw\r\n1\r\n";
    const struct {
        Place place;
        std::string file;
    } rows[] = {
        {Place::Unchosen, ten},
        {Place::File, ten + "0\r\n0\r\n0\r\n\r\n\r\n0\r\n"},
        {Place::Keyring, ten + "0\r\n0\r\n0\r\n\r\n\r\n1\r\n"},
    };
    for (const auto& row : rows) {
        TSettings s = read(row.file);
        EXPECT_EQ(s.SecretPlace, row.place) << row.file;
        WriteConfig(s, file());
        EXPECT_EQ(readBytes(file()), row.file);
    }
    EXPECT_EQ(read(ten + "0\r\n0\r\n0\r\n\r\n\r\nja\r\n").SecretPlace, Place::Unchosen);
}

TEST_F(ConfigFile, TrustListKeepsOneCertificatePerServerPrivately) {
    const std::string path = file("pbridge.crt");
    EXPECT_TRUE(ReadTrustList(path).empty());   // no file yet
    const std::string a(64, 'a'), b(64, 'b');
    TrustCertificate("pop.example.org", 995, a, path);
    TrustCertificate("smtp.example.org", 465, a, path);
    TrustCertificate("pop.example.org", 995, b, path);   // a renewed certificate replaces the old
    EXPECT_EQ(readBytes(path), "smtp.example.org 465 " + a + "\npop.example.org 995 " + b + "\n");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    writeBytes(path, readBytes(path) + "broken line\nhost x " + a + "\nhost 1 short\n");
    const TTrustList list = ReadTrustList(path);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(TrustedFingerprint(list, "pop.example.org", 995), b);
    EXPECT_EQ(TrustedFingerprint(list, "pop.example.org", 110), "");

    // Shown to people in byte pairs, 16 to a line; anything else is shown as it is.
    std::string hex;
    for (int i = 0; i < 32; ++i)
        hex += "0123456789abcdef"[i / 16 * 10 % 16] + std::string(1, "0123456789abcdef"[i % 16]);
    EXPECT_EQ(GroupedFingerprint(hex), "00:01:02:03:04:05:06:07:08:09:0A:0B:0C:0D:0E:0F\n"
                                       "A0:A1:A2:A3:A4:A5:A6:A7:A8:A9:AA:AB:AC:AD:AE:AF");
    EXPECT_EQ(GroupedFingerprint("abc"), "abc");
    EXPECT_EQ(GroupedFingerprint("zz"), "zz");
}

TEST_F(ConfigFile, SwitchIsOnOnlyForExactlyOne) {
    auto withSwitches = [](const std::string& strip, const std::string& del) {
        return "s\r\n25\r\ne\r\nl\r\n" + strip + "\r\np\r\n110\r\nu\r\npw\r\n" + del + "\r\n";
    };
    EXPECT_TRUE(read(withSwitches("1", "1")).StripInitials);
    EXPECT_TRUE(read(withSwitches("1", "1")).DeleteFromServer);
    for (const char* off : {"0", "", "ja", "1 ", " 1", "11", "true"}) {
        SCOPED_TRACE(off);
        TSettings s = read(withSwitches(off, off));
        EXPECT_FALSE(s.StripInitials);
        EXPECT_FALSE(s.DeleteFromServer);
    }
}

TEST_F(ConfigFile, PortLineReadsItsFirstWord) {
    TSettings s = read("s\r\n  25 SMTP\r\ne\r\nl\r\n0\r\np\r\n110 text\r\nu\r\npw\r\n0\r\n");
    EXPECT_EQ(s.SMTPPort, 25);
    EXPECT_EQ(s.POP3Port, 110);
    EXPECT_EQ(s.SMTPEmail, "e");  // the rest of the port line is skipped, not taken as line 3
    EXPECT_EQ(read("s\r\n$19\r\n").SMTPPort, 25);
    EXPECT_EQ(read("s\r\n\t-7\r\n").SMTPPort, -7);
}

TEST_F(ConfigFile, LfOnlyLinesAreReadLikeCrLf) {
    TSettings s = read("s\n25\ne\nl\n1\np\n110\nu\npw\n1\n");
    EXPECT_EQ(s.SMTPServer, "s");
    EXPECT_EQ(s.POP3Port, 110);
    EXPECT_TRUE(s.DeleteFromServer);
}

TEST_F(ConfigFile, TruncatedFileGivesEmptyTextsAndZeroPorts) {
    TSettings s;
    s.POP3Server = "old";
    s.POP3Port = 99;
    s.DeleteFromServer = true;
    writeBytes(file(), "smtp\r\n25\r\nme@x");
    ReadConfig(s, file());
    EXPECT_EQ(s.SMTPServer, "smtp");
    EXPECT_EQ(s.SMTPPort, 25);
    EXPECT_EQ(s.SMTPEmail, "me@x");  // a last line without line end still counts
    EXPECT_EQ(s.SMTPLogin, "");
    EXPECT_EQ(s.POP3Server, "");
    EXPECT_EQ(s.POP3Port, 0);
    EXPECT_FALSE(s.DeleteFromServer);

    EXPECT_EQ(read("").SMTPPort, 0);
    EXPECT_EQ(read("").SMTPServer, "");
}

TEST_F(ConfigFile, PortLineThatIsNoNumberIsAnInputError) {
    writeBytes(file(), "smtp\r\n25\r\nme@x\r\nlogin\r\n1\r\npop\r\nabc\r\nu\r\npw\r\n1\r\n");
    TSettings s;
    try {
        ReadConfig(s, file());
        FAIL() << "no error for a port line 'abc'";
    } catch (const EInOutError& e) {
        EXPECT_NE(std::string(e.what()).find("line 7"), std::string::npos) << e.what();
    }
    // What was read before the bad line stays read; nothing after it is taken.
    EXPECT_EQ(s.POP3Server, "pop");
    EXPECT_TRUE(s.StripInitials);
    EXPECT_EQ(s.POP3User, "");

    for (const char* bad : {"", "   ", "25x", "y25", "99999999999", "- 5"}) {
        SCOPED_TRACE(bad);
        writeBytes(file(), std::string("s\r\n") + bad + "\r\ne\r\n");
        TSettings t;
        EXPECT_THROW(ReadConfig(t, file()), EInOutError);
    }
}

TEST_F(ConfigFile, UnreadableFileIsAnInputError) {
    TSettings s;
    EXPECT_THROW(ReadConfig(s, file("missing.ini")), EInOutError);
    ASSERT_TRUE(QDir(dir.path()).mkdir("adir"));
    EXPECT_THROW(ReadConfig(s, file("adir")), EInOutError);
    if (::geteuid() != 0) {  // root reads everything
        writeBytes(file(), "s\r\n25\r\n");
        ::chmod(file().c_str(), 0);
        EXPECT_THROW(ReadConfig(s, file()), EInOutError);
    }
}

TEST_F(ConfigFile, WrittenFileIsOwnerOnlyEvenWhenItWasWorldReadable) {
    writeBytes(file(), "old");
    ::chmod(file().c_str(), 0644);
    WriteConfig(sample(), file());
    struct stat st {};
    ASSERT_EQ(::stat(file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(ConfigFile, FailedWriteLeavesOldFileAndNoLeftovers) {
    WriteConfig(sample(), file());
    const std::string before = readBytes(file());
    // A directory of the target's name cannot be replaced by a file.
    ASSERT_TRUE(QDir(dir.path()).mkdir("pbridge.d"));
    EXPECT_THROW(WriteConfig(sample(), file("pbridge.d")), EInOutError);
    EXPECT_EQ(readBytes(file()), before);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);  // no temp file left

    if (::geteuid() != 0) {
        QTemporaryDir ro;
        const std::string target = (ro.path() + "/pbridge.ini").toStdString();
        writeBytes(target, "keep");
        ::chmod(ro.path().toLocal8Bit().constData(), 0500);
        EXPECT_THROW(WriteConfig(sample(), target), EInOutError);
        ::chmod(ro.path().toLocal8Bit().constData(), 0700);
        EXPECT_EQ(readBytes(target), "keep");
    }
}

TEST_F(ConfigFile, LineBreakInsideAValueCannotShiftTheLines) {
    TSettings s = sample();
    s.SMTPLogin = "two\r\nlines";
    WriteConfig(s, file());
    TSettings back;
    ReadConfig(back, file());
    EXPECT_EQ(back.SMTPLogin, "two  lines");
    EXPECT_EQ(back.POP3Password, s.POP3Password);
}

TEST(PortConversion, AcceptsTheRuntimeForms) {
    EXPECT_EQ(StrToInt("110"), 110);
    EXPECT_EQ(StrToInt("  25"), 25);
    EXPECT_EQ(StrToInt("+7"), 7);
    EXPECT_EQ(StrToInt("-0"), 0);
    EXPECT_EQ(StrToInt("$6E"), 110);
    EXPECT_EQ(StrToInt("x6e"), 110);
    EXPECT_EQ(StrToInt("0x6E"), 110);
    EXPECT_EQ(StrToInt("-$10"), -16);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
    EXPECT_EQ(StrToInt("$FFFFFFFF"), -1);
}

TEST(PortConversion, RefusesEverythingElse) {
    for (const char* bad : {"", " ", "25 ", "2 5", "abc", "1e3", "0x", "$", "+", "--1",
                            "2147483648", "-2147483649", "$100000000", "\t25", "25\r"}) {
        SCOPED_TRACE(bad);
        std::int32_t v = 42;
        EXPECT_FALSE(TryStrToInt(bad, v));
        EXPECT_EQ(v, 42);
        EXPECT_THROW(StrToInt(bad), EConvertError);
    }
    try {
        StrToInt("abc");
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'abc' is not a valid integer value");
    }
}

} // namespace
} // namespace pb

namespace pb {
namespace {

// The token logins follow as lines 17 to 36, POP3's first; a file of fifteen lines means the
// password for both, and a value this version does not know reads as the default.
TEST_F(ConfigFile, TokenLoginsFollowAsLines17To36) {
    TSettings s;
    s.POP3TokenLogin = {TLoginMethod::OAuth, TOAuthPreset::Other, "https://a.example/auth", "https://a.example/token",
                        "mail", "client", "secret", "refresh", "", "test@example.org"};
    s.SMTPTokenLogin.Method = TLoginMethod::Command;
    s.SMTPTokenLogin.Command = "token-helper --smtp";
    WriteConfig(s, file());
    const std::string lines = readBytes(file());
    EXPECT_NE(lines.find("\r\n1\r\n2\r\nhttps://a.example/auth\r\nhttps://a.example/token\r\nmail\r\nclient\r\nsecret\r\n"
                         "refresh\r\n\r\ntest@example.org\r\n2\r\n0\r\n"),
              std::string::npos);
    TSettings back;
    ReadConfig(back, file());
    EXPECT_EQ(back, s);

    const std::string fifteen = "s\r\n25\r\ne\r\nl\r\n0\r\np\r\n110\r\nu\r\npw\r\n1\r\n1\r\n1\r\n1\r\nme\r\npw2\r\n";
    for (const std::string& rest : {std::string(), std::string("7\r\n9\r\n")}) {
        writeBytes(file(), fifteen + rest);
        ReadConfig(back, file());
        EXPECT_EQ(back.POP3TokenLogin, TTokenLogin{});
        EXPECT_EQ(back.SMTPTokenLogin.Method, TLoginMethod::Password);
    }
}

} // namespace
} // namespace pb
