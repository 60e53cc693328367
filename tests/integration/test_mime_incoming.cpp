// Mail as today's mail programs send it, through a real Dovecot into a real edhost: UTF-8 in
// quoted-printable and base64, encoded words, nested multiparts, HTML with pictures and HTML
// alone, RFC 2231 names, repeated names, boundaries that occur inside the data, Latin-1 text
// and a forwarded mail. Checked per mail: the stored text (Windows-1252), the name fields,
// every file byte for byte under its real name, and no other file left behind.
#include "platform/AnsiText.h"
#include "support/Base64Lines.h"
#include "support/EdhostProcess.h"
#include "support/MailRunFixture.h"

#include <QByteArray>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <set>

namespace pb {
namespace {

using test::EdhostProcess;
using test::readBytes;
std::string base64(const std::string& data) { return test::base64Lines(data, 76); }
using Files = std::map<std::string, std::string>;   // name on disk (UTF-8) -> bytes

std::string randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(rng());
    return s;
}

// As served: what arrives is the mail with CR LF line ends.
std::string crlf(const std::string& s) {
    std::string out;
    for (char c : s)
        out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

struct Shape {
    std::string mail;
    std::string from, to, subject;   // the host's name fields, Windows-1252
    std::string body;                // the text after the prefix, Windows-1252
    Files files;
};

const std::string Pdf = "%PDF-1.4\n" + randomBytes(3000, 1) + "\n%%EOF\n";
const std::string Png = "\x89PNG\r\n\x1a\n" + randomBytes(500, 2);
// Base64 text of this size holds "b1" many times over.
const std::string Big = randomBytes(300000, 3);
const std::string Forwarded = "From: Alt <alt@example.org>\nSubject: Original\n\nDer weitergeleitete Text.\n";

std::vector<Shape> shapes() {
    const std::string head = "To: Erika <erika@example.org>\nMIME-Version: 1.0\n";
    return {
        {"From: =?utf-8?q?B=C3=BCro_M=C3=BCller?= <buero@example.org>\n" + head +
             "Subject: =?utf-8?b?R3LDvMOfZSBhdXMgS8O2bG4=?=\n =?utf-8?q?_=E2=82=AC_und_=E2=80=9EZitat=E2=80=9C?=\n"
             "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: quoted-printable\n\n"
             "Gr=C3=BC=C3=9Fe, das kostet 5 =E2=82=AC =E2=80=93 ein Satz mit weich=\nem Umbruch.\n",
         "B\xFCro M\xFCller", "Erika", "Gr\xFC\xDF" "e aus K\xF6ln \x80 und \x84Zitat\x93",
         "Gr\xFC\xDF" "e, das kostet 5 \x80 \x96 ein Satz mit weichem Umbruch.\r\n", {}},

        {"From: a@example.org\n" + head + "Subject: base64\n"
             "Content-Type: text/plain; charset=\"UTF-8\"\nContent-Transfer-Encoding: base64\n\n" +
             base64("Zeile mit \xC3\x9Cmlaut\r\n\xC3\x84rger\r\n"),
         "a@example.org", "Erika", "base64", "Zeile mit \xDCmlaut\r\n\xC4rger\r\n", {}},

        {"From: a@example.org\n" + head + "Subject: mixed\nContent-Type: multipart/mixed; boundary=\"m\"\n\n"
             "--m\nContent-Type: multipart/alternative; boundary=\"a\"\n\n"
             "--a\nContent-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: quoted-printable\n\n"
             "Text mit PDF =C3=BC\n"
             "--a\nContent-Type: text/html; charset=utf-8\n\n<p>Text mit PDF \xC3\xBC</p>\n--a--\n"
             "--m\nContent-Type: application/pdf; name=\"Rechnung.pdf\"\n"
             "Content-Disposition: attachment; filename=\"Rechnung.pdf\"\nContent-Transfer-Encoding: base64\n\n" +
             base64(Pdf) + "--m--\n",
         "a@example.org", "Erika", "mixed", "Text mit PDF \xFC\r\n\r\nFile \"Rechnung.pdf\" extracted\r\n",
         {{"Rechnung.pdf", Pdf}}},

        {"From: a@example.org\n" + head + "Subject: related\nContent-Type: multipart/alternative; boundary=\"a\"\n\n"
             "--a\nContent-Type: text/plain\n\nSiehe Bild\n"
             "--a\nContent-Type: multipart/related; boundary=\"r\"\n\n"
             "--r\nContent-Type: text/html\n\n<p>Siehe <img src=\"cid:b1\"></p>\n"
             "--r\nContent-Type: image/png\nContent-ID: <b1>\nContent-Disposition: inline\n"
             "Content-Transfer-Encoding: base64\n\n" +
             base64(Png) + "--r--\n--a--\n",
         "a@example.org", "Erika", "related", "Siehe Bild\r\n\r\nFile \"text.tmp\" extracted\r\n",
         {{"text.tmp", Png}}},

        {"From: a@example.org\n" + head + "Subject: html\nContent-Type: text/html; charset=iso-8859-1\n\n"
             "<html><head><title>T</title><style>p {color: red}</style></head><body>\n"
             "<p>Hallo <b>Welt</b> &amp; gr&uuml;&szlig;e</p><ul><li>eins</li><li>zwei</li></ul>\n"
             "<p>Siehe <a href=\"https://example.org/x\">die Seite</a><br>Ende</p>"
             "<script>alert(1)</script></body></html>\n",
         "a@example.org", "Erika", "html",
         "Hallo Welt & gr\xFC\xDF" "e\r\n\r\n* eins\r\n* zwei\r\n\r\nSiehe die Seite <https://example.org/x>\r\nEnde\r\n"
         "\r\nFile \"text.html\" extracted\r\n",
         {{"text.html", crlf("<html><head><title>T</title><style>p {color: red}</style></head><body>\n"
                             "<p>Hallo <b>Welt</b> &amp; gr&uuml;&szlig;e</p><ul><li>eins</li><li>zwei</li></ul>\n"
                             "<p>Siehe <a href=\"https://example.org/x\">die Seite</a><br>Ende</p>"
                             "<script>alert(1)</script></body></html>\n")}}},

        {"From: a@example.org\n" + head + "Subject: names\nContent-Type: multipart/mixed; boundary=n\n\n"
             "--n\n\nDrei Namen\n"
             "--n\nContent-Type: application/pdf\nContent-Disposition: attachment;\n"
             " filename*=utf-8''Rechnung%20M%C3%A4rz%202026.pdf\n\nA\n"
             "--n\nContent-Type: text/plain; name=\"falsch.txt\"\nContent-Disposition: attachment;\n"
             " filename*0*=utf-8''Lange%20; filename*1=\"Name.txt\"\n\nB\n"
             "--n\nContent-Type: text/plain; name=\"=?utf-8?q?=C3=9Cbersicht_=E2=84=A2.txt?=\"\n\nC\n--n--\n",
         "a@example.org", "Erika", "names",
         "Drei Namen\r\n\r\nFile \"Rechnung M\xE4rz 2026.pdf\" extracted\r\n\r\nFile \"Lange Name.txt\" extracted\r\n"
         "\r\nFile \"\xDC" "bersicht \x99.txt\" extracted\r\n",
         {{"Rechnung M\xC3\xA4rz 2026.pdf", "A"}, {"Lange Name.txt", "B"},
          {"\xC3\x9C" "bersicht \xE2\x84\xA2.txt", "C"}}},

        {"From: a@example.org\n" + head + "Subject: twice\nContent-Type: multipart/mixed; boundary=t\n\n"
             "--t\n\nZweimal\n"
             "--t\nContent-Disposition: attachment; filename=bericht.txt\n\neins\n"
             "--t\nContent-Disposition: attachment; filename=bericht.txt\n\nzwei\n--t--\n",
         "a@example.org", "Erika", "twice",
         "Zweimal\r\n\r\nFile \"bericht.txt\" extracted\r\n\r\nFile \"bericht_1.txt\" extracted\r\n",
         {{"bericht.txt", "eins"}, {"bericht_1.txt", "zwei"}}},

        {"From: a@example.org\n" + head + "Subject: b1\nContent-Type: multipart/mixed; boundary=b1\n\n"
             "--b1\n\nVorher --b1\n--b1x ist kein Ende\n--b1 -- auch nicht\nNachher\n"
             "--b1\nContent-Type: application/octet-stream; name=gross.bin\nContent-Transfer-Encoding: base64\n\n" +
             base64(Big) + "--b1--  \n",
         "a@example.org", "Erika", "b1",
         "Vorher --b1\r\n--b1x ist kein Ende\r\n--b1 -- auch nicht\r\nNachher\r\n\r\nFile \"gross.bin\" extracted\r\n",
         {{"gross.bin", Big}}},

        {"From: a@example.org\n" + head + "Subject: grenze\nContent-Type: multipart/mixed; boundary=\"grenze\"\n\n"
             "--grenze\nContent-Type: text/plain; charset=iso-8859-1\nContent-Transfer-Encoding: 8bit\n\n"
             "Wir begrenzen das.\nGr\xFC\xDF" "e\n--grenze--\n",
         "a@example.org", "Erika", "grenze", "Wir begrenzen das.\r\nGr\xFC\xDF" "e\r\n", {}},

        {"From: a@example.org\n" + head + "Subject: weiter\nContent-Type: multipart/mixed; boundary=w\n\n"
             "--w\n\nWeitergeleitet:\n--w\nContent-Type: message/rfc822\n\n" +
             Forwarded + "\n--w--\n",
         "a@example.org", "Erika", "weiter", "Weitergeleitet:\r\n\r\nFile \"nachricht.eml\" extracted\r\n",
         {{"nachricht.eml", crlf(Forwarded)}}},
    };
}

std::string bodyOf(const std::string& text) { return text.substr(text.find("\r\n\r\n") + 4); }

std::set<std::string> filesHere() {
    std::set<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator("."))
        out.insert(e.path().filename().string());
    return out;
}

class MimeIncoming : public test::MailRunFixture {};

TEST_F(MimeIncoming, TodaysMailShapesArriveWholeAndReadable) {
    EdhostProcess host;
    const std::vector<Shape> all = shapes();
    std::vector<std::string> mails;
    for (const Shape& s : all)
        mails.push_back(s.mail);
    servers().setMails(mails);
    Tmain& w = startWindow();
    const std::set<std::string> before = filesHere();
    w.BitBtn2->click();

    std::set<std::string> expected = before;
    const std::vector<test::StoredMail> stored = test::storedMails(host);
    ASSERT_EQ(stored.size(), all.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        const Shape& s = all[i];
        SCOPED_TRACE(s.subject);
        const auto& [h, text] = stored[i];
        EXPECT_EQ(h.FromUserName.str(), s.from);
        EXPECT_EQ(h.ToUserName.str(), s.to);
        EXPECT_EQ(h.Subject.str(), s.subject);
        EXPECT_EQ(bodyOf(text), s.body);
        // The header kludges keep the bytes as received.
        EXPECT_EQ(text.substr(0, 7), "\x01" "From: ");
        if (i == 0) {
            EXPECT_NE(text.find("\r\nFrom: B\xFCro M\xFCller <buero@example.org>\r\n"), std::string::npos);
        }
        EXPECT_NE(text.find("\x01REPLYADDR " + s.mail.substr(6, s.mail.find('\n') - 6) + "\r\n"), std::string::npos);
        for (const auto& [name, bytes] : s.files) {
            EXPECT_EQ(readBytes(name), bytes) << name;
            expected.insert(name);
        }
    }
    expected.insert({"readmsg.lst", "readmsg.uid"});
    EXPECT_EQ(filesHere(), expected) << "no temporary or empty file stays behind";
}

// Names, long subjects, part ends, broken types and hostile file names: the host's fields
// and text, and the files as they land in the folder.
TEST_F(MimeIncoming, NamesSubjectsPartEndsAndFileNames) {
    EdhostProcess host;
    const std::string subject = "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln: das kostet 5 \xE2\x82\xAC \xE2\x80\x93 "
                                "\xE2\x80\x9EZitat\xE2\x80\x9C, und dieser Betreff ist l\xC3\xA4nger als das Feld";
    const std::string subjectAnsi = "Gr\xFC\xDF" "e aus K\xF6ln: das kostet 5 \x80 \x96 \x84Zitat\x93, und dieser "
                                    "Betreff ist l\xE4nger als das Feld";
    servers().setMails({
        // A quoted pair in the sender, an encoded word inside the recipient's quotes, a list,
        // a subject too long for the field in folded encoded words, and no subtype: text.
        "From: \"Peter \\\"Pit\\\" Meier\" <pit@example.org>\n"
        "To: \"=?utf-8?q?M=C3=BCller?=, Anna\" <a@example.org>, bert@example.org\n"
        "Subject: =?utf-8?b?" + QByteArray::fromStdString(subject.substr(0, 40)).toBase64().toStdString() +
            "?=\n =?utf-8?b?" + QByteArray::fromStdString(subject.substr(40)).toBase64().toStdString() + "?=\n"
        "Content-Type: text\n\nGr\xC3\xBC\xC3\x9F" "e\n",
        // A comment in raw UTF-8 as the sender's name, a group as recipient, a multipart without
        // subtype, and the parts' ends and names.
        "From: anna@example.org (Anna \xC3\x84rger)\nTo: Freunde: a@example.org, b@example.org;\n"
        "Subject: Teile\nContent-Type: multipart; boundary=x\n\n"
        "--x\nContent-Type: text/\n\nText \xFC\n"
        "--x\nContent-Disposition: attachment; filename=\"rechnung\xE2\x80\xAE" "fdp.exe\"\n\nzeile\n\n"
        "--x\nContent-Disposition: attachment; filename=\"pbridge.ini\xE2\x80\x8B\"\n\n[x]\n"
        "--x\nContent-Disposition: attachment; filename=\"\xEF\xBB\xBF" "edhost-base\"\nContent-Transfer-Encoding: 8bit\n\n"
        "eins\nzwei\n"
        "--x\nContent-Disposition: attachment; filename=\"Gr\xFC\xDF" "e.txt\"\n"
        "Content-Transfer-Encoding: quoted-printable\n\na=3Db, weich=\n"
        "--x--\n",
        "From: Max <max@example.org>\nTo: Erika <e@example.org>\nSubject: kurz\n\nHallo\n",
    });
    Tmain& w = startWindow();
    w.BitBtn2->click();

    const test::StoredMail a = test::storedMail(host, 1);
    EXPECT_EQ(a.h.FromUserName.str(), "Peter \"Pit\" Meier");
    EXPECT_EQ(a.h.ToUserName.str(), "M\xFCller, Anna");
    EXPECT_EQ(a.h.Subject.str(), subjectAnsi.substr(0, 71));
    // The whole subject in the prefix, after the From: line; the text read as text/plain.
    EXPECT_NE(a.text.find("\r\nFrom: \"Peter \\\"Pit\\\" Meier\" <pit@example.org>\r\nSubject: " + subjectAnsi +
                          "\r\n\r\nGr\xFC\xDF" "e\r\n"),
              std::string::npos)
        << a.text;

    const test::StoredMail b = test::storedMail(host, 2);
    EXPECT_EQ(b.h.FromUserName.str(), "Anna \xC4rger");
    EXPECT_EQ(b.h.ToUserName.str(), "Freunde");
    EXPECT_EQ(bodyOf(b.text), "Text \xFC\r\n\r\nFile \"rechnungfdp.exe\" extracted\r\n\r\nFile \"_pbridge.ini\" extracted\r\n"
                              "\r\nFile \"_edhost-base\" extracted\r\n\r\nFile \"Gr\xFC\xDF" "e.txt\" extracted\r\n");
    EXPECT_EQ(b.text.find("Subject: Teile\r\n\r\n"), std::string::npos) << "a subject that fits gets no line";
    // Each file ends where its part ended: the line end before a delimiter is the delimiter's.
    EXPECT_EQ(readBytes("rechnungfdp.exe"), "zeile\r\n");
    EXPECT_EQ(readBytes("_pbridge.ini"), "[x]");
    EXPECT_EQ(readBytes("_edhost-base"), "eins\r\nzwei");
    EXPECT_EQ(readBytes("Gr\xC3\xBC\xC3\x9F" "e.txt"), "a=b, weich");

    // A plain mail as always: no line added, names and subject as they stand.
    const test::StoredMail c = test::storedMail(host, 3);
    EXPECT_EQ(c.text.substr(c.text.find("\x01REPLYADDR")), "\x01REPLYADDR Max <max@example.org>\r\n"
                                                            "From: Max <max@example.org>\r\n\r\nHallo\r\n");
    EXPECT_EQ(c.h.Subject.str(), "kurz");
}

// Mails whose structure hides their content, and senders who would plant hidden lines: the
// text shows, nothing is lost, and only the program's own kludge lines begin with SOH.
TEST_F(MimeIncoming, HiddenTextShowsAndNoSenderPlantsAKludge) {
    EdhostProcess host;
    const std::string pdf = base64(Pdf);
    servers().setMails({
        "From: a@example.org\nTo: b@example.org\nSubject: nie\nContent-Type: multipart/mixed; boundary=\"nie\"\n\n"
        "--anders\nContent-Type: text/plain\n\nDer Text.\n--anders\nContent-Type: application/pdf; name=r.pdf\n"
        "Content-Transfer-Encoding: base64\n\n" + pdf + "--anders--\n",
        "From: a@example.org\nTo: b@example.org\nSubject: versteckt\nContent-Type: multipart/mixed; boundary=b\n\n"
        "--b\nDer Text steht im Kopf des Teils.\n--b--\n",
        "From: Evil \x01<evil@example.org>\nTo: b@example.org\nSubject: kludge\nX-Odd: a\rb\x01MSGID: 1\n\n"
        "\x01REPLYADDR evil@example.org\nText\x01\n",
        "From: =?utf-8?b?5bGx55Sw5aSq6YOO?= <taro@example.jp>\nTo: b@example.org\nSubject: Name\n\nHallo\n",
    });
    Tmain& w = startWindow();
    w.BitBtn2->click();

    const std::vector<test::StoredMail> stored = test::storedMails(host);
    ASSERT_EQ(stored.size(), 4u);
    // The boundary never comes: all of it is the text, the PDF's lines included.
    EXPECT_NE(bodyOf(stored[0].text).find("--anders\r\nContent-Type: text/plain\r\n\r\nDer Text.\r\n"),
              std::string::npos);
    EXPECT_NE(bodyOf(stored[0].text).find(pdf.substr(0, 76)), std::string::npos);
    // Nothing of the text reached the body: the mail as it came, with a note.
    EXPECT_EQ(stored[1].h.Subject.str(), "versteckt");
    EXPECT_NE(stored[1].text.find(ansi("weder Text noch Dateien")), std::string::npos) << stored[1].text;
    EXPECT_NE(readBytes("nachricht.eml").find("Der Text steht im Kopf des Teils."), std::string::npos);
    // SOH only at the start of the program's kludge lines, and no CR within a header line.
    const std::string& k = stored[2].text;
    for (std::size_t at = k.find('\x01'); at != std::string::npos; at = k.find('\x01', at + 1))
        EXPECT_TRUE(at == 0 || k.compare(at - 2, 2, "\r\n") == 0) << at << ": " << k;
    EXPECT_NE(k.find("\x01X-Odd: a b@MSGID: 1\r\n"), std::string::npos) << k;
    EXPECT_NE(k.find("\r\n\r\n@REPLYADDR evil@example.org\r\nText@\r\n"), std::string::npos) << k;
    EXPECT_EQ(stored[2].h.FromUserName.str(), "Evil");
    EXPECT_EQ(stored[3].h.FromUserName.str(), "taro@example.jp");
}

} // namespace
} // namespace pb
