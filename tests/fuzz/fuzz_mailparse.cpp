// A retrieved mail as the server could send it, read by the message reader, assembled and
// converted into the host's record the way a retrieval run does it. The input is the mail's lines as they
// arrive (dot-stuffing left to the input, so a lone dot line in it ends the mail early); the
// end-of-message line is added after them, and an answer to the next command after that.
// Lines come in pieces of at most PieceSize bytes, as the socket hands out lines longer than the
// reader's limit, and the text limit is small, so that short inputs take the paths of long
// lines and cut texts; the first byte picks the piece size. MIME structure, charsets, encoded
// words, RFC 2231 names and HTML all come from the input.
// Checked: no crash, the parse stops right after the end-of-message line, every file it writes
// lies in its own directory, at most the file limit of files, and the record's size stays
// within the record.
#include "mail/MailAssembler.h"
#include "mail/MailConversion.h"
#include "net/Pop3Client.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

QCoreApplication* app = nullptr;
QTemporaryDir* dir = nullptr;

constexpr std::string_view NextAnswer = "+OK next\r\n";

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    app = new QCoreApplication(*argc, *argv);
    dir = new QTemporaryDir;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t pieceSize = 8 + data[0] % 120;
    std::string served(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (!served.empty() && served.back() != '\n')
        served += "\r\n";
    served += ".\r\n";
    served += NextAnswer;

    // The mail ends at its first end-of-message line (a lone dot after CR LF or a bare LF),
    // which may come early in the input. A line longer than a piece never is one: its first
    // piece begins a line but holds no LF.
    std::size_t mailEnd = 0;
    for (std::size_t pos = 0;;) {
        const std::size_t lf = served.find('\n', pos);
        const std::string_view line(served.data() + pos, lf + 1 - pos);
        if (line.size() <= pieceSize && (line == ".\r\n" || line == ".\n")) {
            mailEnd = lf + 1;
            break;
        }
        pos = lf + 1;
    }

    std::size_t at = 0;
    auto readLn = [&]() -> std::string {
        if (at >= served.size())
            std::abort();   // read past everything: the parse lost the end of the mail
        const std::size_t lf = served.find('\n', at);
        const std::size_t end = std::min(lf == std::string::npos ? served.size() : lf + 1, at + pieceSize);
        std::string line = served.substr(at, end - at);
        at = end;
        return line;
    };

    const std::filesystem::path top(dir->path().toStdString());
    pb::TUUProcessor coder;
    pb::TMultiLineReader lines([&](std::string& line, std::size_t) { line = readLn(); });
    pb::TMailAssembler assembler;
    assembler.MaxText = 4096;
    pb::TMimeReader reader(assembler);
    pb::TMailMessage mail;
    try {
        assembler.Begin(mail, top.string() + "/", coder, {}, {});
        reader.Begin();
        for (std::string piece; lines.NextPiece(piece);)
            reader.Feed(piece);
        reader.End();
        if (at != mailEnd)
            std::abort();   // stopped early or late: the session would be out of step
        const pb::TNewMsg rec = pb::ConvertMail(mail);
        if (rec.Header().Size < 0 || static_cast<std::size_t>(rec.Header().Size) > rec.size())
            std::abort();
    } catch (const std::exception&) {
        // Failures to write files are reported as exceptions; they are fine here.
    }

    int files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(top)) {
        if (entry.path().parent_path() != top)
            std::abort();
        ++files;
    }
    if (files > pb::TMailAssembler::MaxFiles)
        std::abort();
    for (const auto& entry : std::filesystem::directory_iterator(top))
        std::filesystem::remove_all(entry.path());
    return 0;
}
