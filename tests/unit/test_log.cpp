// The activity log: one line per entry, date and time in the user's formats, the text
// appended verbatim, and the lines kept in order for the log mail.
#include "app/LogFormat.h"
#include "mail/MailRun.h"
#include "platform/AnsiText.h"
#include "support/MainWindowFixture.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTextBlock>
#include <QTextLayout>
#include <gtest/gtest.h>

namespace pb {
namespace {

const QDateTime kWhen(QDate(1999, 12, 6), QTime(14, 2, 40));
const QLocale kGerman(QLocale::German, QLocale::Germany);

TEST(LogLine, UsesShortDateAndLongTimeOfTheLocale) {
    EXPECT_EQ(FormatLogLine(kWhen, "STRT Postbridge Alpha 4 gestartet", kGerman),
              "06.12.99 14:02:40 STRT Postbridge Alpha 4 gestartet");
    const QLocale us(QLocale::English, QLocale::UnitedStates);
    const std::string usLine = FormatLogLine(kWhen, "CONF x", us);
    EXPECT_EQ(usLine.rfind("12/6/99 2:02:40", 0), 0u) << usLine;
    EXPECT_NE(usLine.find("PM CONF x"), std::string::npos) << usLine;
    // Whatever the locale's spelling, the time carries seconds and no time-zone name.
    for (const QLocale& loc : {kGerman, us, QLocale(QLocale::French, QLocale::France), QLocale::c()}) {
        SCOPED_TRACE(loc.name().toStdString());
        const QString fmt = LongTimeFormat(loc);
        EXPECT_TRUE(fmt.contains(u's')) << fmt.toStdString();
        EXPECT_FALSE(fmt.contains(u't')) << fmt.toStdString();
        EXPECT_FALSE(fmt.endsWith(u' '));
    }
}

TEST(LogLine, TextIsAppendedVerbatimAfterOneBlank) {
    EXPECT_EQ(FormatLogLine(kWhen, " leading", kGerman), "06.12.99 14:02:40  leading");
    EXPECT_EQ(FormatLogLine(kWhen, "", kGerman), "06.12.99 14:02:40 ");
    // Windows-1252 bytes pass through unchanged.
    EXPECT_EQ(FormatLogLine(kWhen, ansi("POP3 Übetragungsfehler"), kGerman),
              "06.12.99 14:02:40 " + ansi("POP3 Übetragungsfehler"));
}

TEST(LogLine, ControlCharactersCannotSplitAnEntry) {
    // A server reply or address with line breaks must not forge further log lines.
    EXPECT_EQ(FormatLogLine(kWhen, "SMTP Sende Nachricht an: a@b\r\n06.12.99 fake", kGerman),
              "06.12.99 14:02:40 SMTP Sende Nachricht an: a@b  06.12.99 fake");
    EXPECT_EQ(FormatLogLine(kWhen, std::string("x\0y\x1B\x7F", 5), kGerman), "06.12.99 14:02:40 x y  ");
}

// The log mail holds the whole log while it fits a record; a longer one keeps its start and its
// end with a note in between, and never outgrows the record.
TEST(LogMailText, ALogLongerThanARecordKeepsItsStartAndEnd) {
    std::vector<std::string> lines;
    for (int i = 0; i < 1000; ++i)
        lines.push_back("Zeile " + std::to_string(i));
    std::string whole;
    for (const std::string& line : lines)
        whole += line + "\r\n";
    EXPECT_EQ(LogMailText(lines, whole.size()), whole);
    for (const std::size_t limit : {whole.size() - 1, std::size_t(2000), std::size_t(400), std::size_t(0)}) {
        SCOPED_TRACE(limit);
        const std::string text = LogMailText(lines, limit);
        EXPECT_LE(text.size(), std::max<std::size_t>(limit, 200));
        const std::size_t note = text.find(ansi("*** Das Protokoll war zu lang für die Nachrichtenbasis: "));
        ASSERT_NE(note, std::string::npos);
        const std::string head = text.substr(0, note), tail = text.substr(text.find("\r\n", note) + 2);
        EXPECT_EQ(whole.compare(0, head.size(), head), 0);
        EXPECT_EQ(whole.compare(whole.size() - tail.size(), tail.size(), tail), 0);
        const auto kept = std::count(text.begin(), text.end(), '\n') - 1;
        EXPECT_NE(text.find(" " + std::to_string(1000 - kept) + " Zeilen sind hier ausgelassen. ***\r\n"),
                  std::string::npos);
    }
}

TEST(LogLine, ClockGivesTheLineOfNowAndFollowsTheDefaultLocale) {
    const QLocale before;
    TLogClock clock;
    auto now = [](const char* text) { return FormatLogLine(QDateTime::currentDateTime(), text, QLocale()); };
    for (const QLocale& loc : {kGerman, QLocale(QLocale::English, QLocale::UnitedStates)}) {
        QLocale::setDefault(loc);
        const std::string earlier = now("x"), line = clock.Line("x\n"), later = now("x");
        EXPECT_TRUE(line == earlier + " " || line == later + " ") << line;   // a second may pass
    }
    QLocale::setDefault(before);
}

class ActivityLog : public test::MainWindowFixture {};

TEST_F(ActivityLog, EntriesAppearInOrderInBoxAndLines) {
    Tmain& w = createMain();
    EXPECT_TRUE(w.LogLines().empty());
    EXPECT_TRUE(w.log->toPlainText().isEmpty());
    w.LogEntry("STRT one");
    w.LogEntry(ansi("POP3 Übetragung vom Benutzer abgebrochen"));
    w.LogEntry(" two blanks");
    ASSERT_EQ(w.LogLines().size(), 3u);
    ASSERT_EQ(w.log->document()->blockCount(), 3);
    const QRegularExpression stamp(QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d\\d \\d\\d:\\d\\d:\\d\\d "));
    for (int i = 0; i < 3; ++i) {
        const QString shown = w.log->document()->findBlockByNumber(i).text();
        EXPECT_EQ(shown, toUnicode(w.LogLines()[static_cast<std::size_t>(i)]));
        EXPECT_TRUE(stamp.match(shown).hasMatch()) << shown.toStdString();
    }
    EXPECT_EQ(logTexts(), (std::vector<std::string>{"STRT one", "POP3 Übetragung vom Benutzer abgebrochen",
                                                    " two blanks"}));
    const QRegularExpression twoBlanks(QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d\\d \\d\\d:\\d\\d:\\d\\d  two blanks$"));
    EXPECT_TRUE(twoBlanks.match(toUnicode(w.LogLines()[2])).hasMatch()) << w.LogLines()[2];
}

// A line wider than the window (the TLS line, a refused certificate) is read whole and copied
// whole, through the log's own German menu.
TEST_F(ActivityLog, ALongLineWrapsAndIsCopiedWhole) {
    Tmain& w = createMain();
    w.show();
    const std::string text = ansi("POP3 Verschlüsselt: TLSv1.3, Zertifikat CN=") + std::string(40, 'x') +
                             ", SHA-256 " + std::string(95, 'A') + " Ende";
    w.LogEntry(text);
    const QTextBlock block = w.log->document()->firstBlock();
    ASSERT_GT(block.layout()->lineCount(), 1);
    for (int i = 0; i < block.layout()->lineCount(); ++i)
        EXPECT_LE(block.layout()->lineAt(i).naturalTextWidth(), w.log->viewport()->width());

    QStringList menu;
    for (QAction* a : w.log->actions())
        menu << a->text();
    ASSERT_EQ(menu, (QStringList{QStringLiteral("Kopieren"), QStringLiteral("Alles markieren")}));
    EXPECT_FALSE(w.log->actions()[0]->isEnabled());
    w.log->actions()[1]->trigger();
    ASSERT_TRUE(w.log->actions()[0]->isEnabled());
    w.log->actions()[0]->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), toUnicode(w.LogLines()[0]));
    EXPECT_TRUE(w.LogLines()[0].ends_with(text));
}

} // namespace
} // namespace pb
