#include "mail/MailAssembler.h"

#include "mime/HtmlText.h"
#include "mime/MimeText.h"
#include "mime/PartDecoder.h"
#include "platform/AnsiText.h"
#include "platform/PageRelease.h"
#include "platform/PrivateFiles.h"
#include "platform/RecordLimit.h"
#include "platform/Streams.h"

#include <QChar>

#include <algorithm>
#include <filesystem>
#include <future>
#include <sstream>
#include <system_error>

namespace pb {
namespace {

// Longest Message-ID value kept.
constexpr std::size_t MaxValue = 256;
// Longest Subject or From value kept (a long name in encoded words takes several lines).
constexpr std::size_t MaxFieldValue = 4096;
// Header lines kept of one mail.
constexpr std::size_t MaxHead = 4 << 20;
// HTML read back for a mail's text (the whole HTML is in its file).
constexpr std::size_t MaxHtml = 8 << 20;
// HTML read in a moment (about a message loop's turn); a larger one is read beside the loop.
constexpr std::size_t HtmlAtOnce = 64 * 1024;
// Malformed quoted-printable escapes logged per mail.
constexpr int MaxEscapeNotes = 20;

const char* const TempFile = "Temp.mme";
constexpr std::size_t WriteChunk = 256 * 1024;

// Any name in the folder counts as taken, a link to nowhere included.
bool FileExists(const std::string& name) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(name, ec));
}

void removeFile(const std::string& name) {
    std::error_code ec;
    std::filesystem::remove(name, ec);
}

// The name as it came in the mail, reduced to a bare file name: everything up to the last
// "/" or "\" goes (a name must never lead out of the attachment directory). A name in
// undeclared 8-bit bytes is read by the rule for undeclared text. Characters that show nothing
// go: controls, and the format characters and separators of Unicode (bidi overrides that show
// "rechnung<U+202E>fdp.exe" as "rechnungexe.pdf", zero-width spaces, U+FEFF, ...), so that the
// name on disk is the name the user sees.
std::string StripName(const std::string& name) {
    const std::size_t sep = name.find_last_of("/\\");
    std::string bare = sep == std::string::npos ? name : name.substr(sep + 1);
    if (!IsUtf8(bare))
        ConvertToUtf8(bare, {});
    std::string out;
    out.reserve(bare.size());
    for (std::size_t i = 0; i < bare.size();) {
        const unsigned char c = static_cast<unsigned char>(bare[i]);
        const std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        char32_t cp = len == 1 ? c : c & (0x7F >> len);
        for (std::size_t k = 1; k < len && i + k < bare.size(); ++k)
            cp = cp << 6 | (static_cast<unsigned char>(bare[i + k]) & 0x3F);
        switch (QChar::category(cp)) {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            break;
        default:
            out.append(bare, i, len);
        }
        i += len;
    }
    return out;
}

// The first `limit` bytes of UTF-8 text, never ending inside a character.
std::string cutUtf8(const std::string& s, std::size_t limit) {
    if (s.size() <= limit)
        return s;
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80)
        --end;
    return s.substr(0, end);
}

// Each line of a text, split at CR LF, LF or CR.
template <class Sink>
void forEachLine(std::string_view text, Sink&& sink) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n')
            continue;
        sink(text.substr(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        sink(text.substr(start));
}

// Removes a private file when the scope is left, whichever way.
struct RemoveOnExit {
    std::string& name;
    ~RemoveOnExit() {
        if (!name.empty())
            removeFile(name);
        name.clear();
    }
};

} // namespace

void TMailAssembler::PrivateFile::Write(std::string_view bytes) {
    if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())))
        throw EStreamError("Stream write error");
}

void TMailAssembler::PrivateFile::Close() {
    out.close();
    if (out.fail())
        throw EStreamError("Stream write error");
}

void TMailAssembler::PrivateFile::Remove() {
    if (out.is_open())
        out.close();
    out.clear();
    if (!name.empty())
        removeFile(name);
    name.clear();
}

TMailAssembler::TMailAssembler() : MaxText(kMaxRecordSize) {}

TMailAssembler::~TMailAssembler() = default;

std::string TMailAssembler::SafeFileName(const std::string& Name) {
    std::string bare = StripName(Name);
    if (bare.empty() || bare == "." || bare == "..")
        return "text.tmp";
    // A name the file system cannot hold (over 255 bytes) would fail the mail, and the mails
    // after it with the connection. Repeated names add "_n" to it, so a name is cut well below
    // that limit, keeping its extension, and never inside a character.
    constexpr std::size_t MaxName = 100;
    if (bare.size() > MaxName) {
        const std::size_t dot = bare.find('.');
        const std::string ext = dot == std::string::npos ? "" : cutUtf8(bare.substr(dot), 16);
        bare = cutUtf8(bare.substr(0, std::min(dot, MaxName - ext.size())), MaxName - ext.size()) + ext;
    }
    return harmlessFileName(bare);
}

TMailMessage& TMailAssembler::Mail() {
    if (!mail_)
        throw Exception("Mail assembly without a mail (Begin)");
    return *mail_;
}

void TMailAssembler::Status(const char* text) {
    if (status_)
        status_(1, text);
}

void TMailAssembler::Begin(TMailMessage& Mail, const std::string& AttachFilePath, TUUProcessor& Coder,
                           StatusSink Status, std::function<void()> Turn) {
    mail_ = &Mail;
    path_ = AttachFilePath;
    coder_ = &Coder;
    status_ = std::move(Status);
    turn_ = std::move(Turn);
    multiparts_.clear();
    into_ = Into::Nothing;
    bodyTaken_ = htmlTaken_ = false;
    files_ = 0;
    textBytes_ = headBytes_ = 0;
    headNoted_ = charsetNoted_ = false;
    std::string().swap(text_);
    preamble_ = -1;
    preambleOver_ = false;
    spilled_.Remove();
    temp_.Remove();
    rest_.Remove();
    std::string().swap(chunk_);
    htmlFile_.clear();
    htmlCharset_.clear();
    htmlAt_ = -1;
}

void TMailAssembler::HeaderLine(std::string_view Line) {
    TMailMessage& mail = Mail();
    if (headBytes_ + Line.size() <= MaxHead) {
        headBytes_ += Line.size() + 3;
        mail.Head.Add(std::string(Line));
    } else if (!headNoted_) {
        headNoted_ = true;
        mail.ParseLog.Add(ansi("POP3 Kopfzeilen über 4 MB nicht übernommen"));
    }
}

void TMailAssembler::HeaderField(std::string_view Field, int Depth) {
    if (Depth != 0)
        return;
    TMailMessage& mail = Mail();
    const std::string first = AnsiUpperCase(NthWord(Field, ' ', 1));
    if (first == "SUBJECT:")
        mail.Subject = CopyFrom(std::string(Field), 9, MaxFieldValue);
    else if (first == "FROM:")
        mail.From = CopyFrom(std::string(Field), 7, MaxFieldValue);
    else if (first == "MESSAGE-ID:")
        mail.MessageId = CopyFrom(std::string(Field), 13, MaxValue);
}

void TMailAssembler::Use(int alt) {
    for (int a = alt; a >= 0; a = multiparts_[static_cast<std::size_t>(a)].parent)
        multiparts_[static_cast<std::size_t>(a)].used = true;
}

TPartBody TMailAssembler::PartBegins(const TPartHeader& Part) {
    TMailMessage& mail = Mail();
    // A part of the multipart has come: its preamble was only the usual word for readers
    // without MIME.
    DropPreamble();
    const int alt = multiparts_.empty() ? -1 : multiparts_.back().alt;
    if (Part.Multipart) {
        Multipart m;
        m.parent = alt;
        m.used = alt >= 0 && multiparts_[static_cast<std::size_t>(alt)].used;
        m.alt = Part.Type == "multipart/alternative" ? static_cast<int>(multiparts_.size()) : alt;
        multiparts_.push_back(m);
        if (into_ != Into::Nothing)
            return TPartBody::Skip;
        // Kept until a part comes: should none, it is the multipart's text.
        preamble_ = static_cast<int>(multiparts_.size()) - 1;
        preambleBytes_ = 0;
        into_ = Into::Text;
        textEncoding_ = Part.Encoding;
        textCharset_ = Part.Charset;
        return TPartBody::Lines;
    }
    const bool isText = Part.Type.compare(0, 5, "text/") == 0;
    const bool marked = Part.Marked();
    if (!marked && Part.Type == "text/plain" && !bodyTaken_) {
        bodyTaken_ = true;
        Use(alt);
        Status("Extracting file");
        into_ = Into::Text;
        textEncoding_ = Part.Encoding;
        textCharset_ = Part.Charset;
        return TPartBody::Lines;
    }
    if (isText && alt >= 0 && multiparts_[static_cast<std::size_t>(alt)].used && !Part.Attachment)
        return TPartBody::Skip;   // repeats the text already taken
    if (alt >= 0 && isText && !marked)
        Use(alt);
    if (!marked && Part.Type == "text/html" && !bodyTaken_ && !htmlTaken_) {
        htmlAtNow_ = mail.Body.Count();
        return StartFile(Part, "text.html", true);
    }
    return StartFile(Part, Part.Type == "message/rfc822" ? "nachricht.eml" : "text.tmp", false);
}

// The raw part goes under a private name; it becomes the file, or is decoded into it, once the
// part has ended. When the file limit is reached, everything from this part's delimiter to the
// end of the mail goes into one last file, as it came.
TPartBody TMailAssembler::StartFile(const TPartHeader& part, const char* defaultName, bool html) {
    if (files_ >= MaxFiles - 1) {
        rest_.name = UniqueName("rest.eml");
        rest_.out = createOutputFile(path_ + rest_.name);
        rest_.Write(part.Delimiter);
        rest_.Write(part.RawHeader);
        into_ = Into::Rest;
        return TPartBody::RestOfMail;
    }
    temp_.out = createTempFile(path_ + TempFile, temp_.name);
    Status("Extracting file");
    into_ = Into::File;
    written_ = 0;
    chunk_.clear();
    defaultName_ = defaultName;
    html_ = html;
    return TPartBody::Bytes;
}

void TMailAssembler::BodyBytes(std::string_view Bytes) {
    switch (into_) {
    case Into::Text:
        // One line of the body's text. A preamble that may be the whole mail is kept whole.
        if (textBytes_ + Bytes.size() + 2 > MaxText) {
            if (preamble_ < 0) {
                Mail().TextCut = true;
                return;
            }
            preambleOver_ = true;
        } else {
            textBytes_ += Bytes.size() + 2;
            if (preamble_ >= 0)
                preambleBytes_ += Bytes.size() + 2;
        }
        text_ += Bytes;
        text_ += "\r\n";
        if (text_.size() > TextInMemory || preambleOver_)
            Spill();
        return;
    case Into::File:
        // The bytes go to the file in large writes: the stream's own buffer would hand a large
        // attachment to the system in 8 KB steps.
        written_ += Bytes.size();
        chunk_ += Bytes;
        if (chunk_.size() >= WriteChunk) {
            temp_.Write(chunk_);
            chunk_.clear();
        }
        return;
    case Into::Rest:
        rest_.Write(Bytes);
        return;
    case Into::Nothing:
        return;
    }
}

void TMailAssembler::PartEnds(const TPartHeader& Part) {
    if (Part.Multipart) {
        if (preamble_ >= 0 && preamble_ + 1 == static_cast<int>(multiparts_.size()))
            TakePreamble();
        if (!multiparts_.empty())
            multiparts_.pop_back();
        return;
    }
    const Into into = into_;
    into_ = Into::Nothing;
    if (into == Into::Text)
        AddText();
    else if (into == Into::File)
        SaveFile(Part);
    else if (into == Into::Rest)
        SaveRest();
}

void TMailAssembler::MailEnds(bool Complete, bool LinesCut, bool BodyHeldText) {
    Mail().BodyHeldText = BodyHeldText;
    const Into into = into_;
    into_ = Into::Nothing;
    multiparts_.clear();
    temp_.Remove();
    std::string().swap(chunk_);
    if (!Complete) {
        // Broken off: the text that had arrived is kept, a file begun is not.
        rest_.Remove();
        if (into == Into::Text && preamble_ >= 0) {
            into_ = into;
            TakePreamble();
        } else if (into == Into::Text) {
            AddText();
        }
        return;
    }
    if (into == Into::Rest)
        SaveRest();
    if (LinesCut)
        Mail().ParseLog.Add(ansi("POP3 Zeilen über 1 MB gekürzt"));
    if (!bodyTaken_ && htmlTaken_)
        TextFromHtml();
}

void TMailAssembler::SaveFile(const TPartHeader& part) {
    TMailMessage& mail = Mail();
    // The private file goes whatever happens, unless it becomes the attachment itself.
    RemoveOnExit removeTemp{temp_.name};
    temp_.Write(chunk_);
    std::string().swap(chunk_);
    temp_.Close();

    const bool named = !part.Name().empty();
    // An empty part without a name holds nothing worth a file.
    if (written_ == 0 && !named)
        return;
    const std::string name = UniqueName(SafeFileName(named ? part.Name() : defaultName_));
    const std::string target = path_ + name;
    const TPartDecoder decoder(part.Encoding, {});
    if (decoder.Transparent()) {
        std::error_code ec;
        std::filesystem::rename(temp_.name, target, ec);
        if (ec)
            throw EInOutError("Cannot rename \"" + temp_.name + "\" to \"" + target + "\". " + ec.message());
        temp_.name.clear();   // it is the attachment now
    } else {
        std::ifstream source = openInputFile(temp_.name);
        std::ofstream decoded = createOutputFile(target);
        if (decoder.AnyLineEnd())
            Status("Decoding file");
        // A large attachment takes a while to decode: the owner's window goes on handling its
        // messages meanwhile (timers, "Abbrechen"). A cancel lets the decode finish; the next
        // read of the mail ends it.
        TTurns turn(turn_);
        decoder.Decode(source, decoded, *coder_, turn);
        decoded.close();
        if (decoded.fail())
            throw EStreamError("Stream write error");
    }
    std::error_code ec;
    if (!named && std::filesystem::file_size(target, ec) == 0 && !ec) {
        removeFile(target);
        return;
    }
    ++files_;
    mail.Attachments.Add(name);
    mail.Body.Add("\r\nFile \"" + Utf8ToWindows1252(name) + "\" extracted");
    if (html_) {
        htmlTaken_ = true;
        htmlFile_ = name;
        htmlAt_ = htmlAtNow_;
        htmlCharset_ = part.Charset;
    }
}

void TMailAssembler::SaveRest() {
    TMailMessage& mail = Mail();
    const std::string name = rest_.name;
    rest_.Close();
    rest_.name.clear();   // kept
    ++files_;
    mail.Attachments.Add(name);
    mail.Body.Add("\r\nFile \"" + name + "\" extracted");
    mail.ParseLog.Add("POP3 Mehr als " + std::to_string(MaxFiles) + " Dateien in der Mail, der Rest steht in \"" +
                      name + "\"");
}

void TMailAssembler::DropPreamble() {
    if (preamble_ < 0)
        return;
    preamble_ = -1;
    preambleOver_ = false;
    into_ = Into::Nothing;
    textBytes_ -= preambleBytes_;
    std::string().swap(text_);
    spilled_.Remove();
}

// A multipart ends without a part of its own: no delimiter of it came (a boundary the sender
// never wrote, or one that names something else). All it held is its preamble, read as a
// text/plain part: the body when there is none yet, else a file; a body text that outgrew the
// record is also saved whole as a file, so that nothing is lost.
void TMailAssembler::TakePreamble() {
    TMailMessage& mail = Mail();
    const bool over = preambleOver_;
    const bool held = !text_.empty() || spilled_.out.is_open();
    preamble_ = -1;
    preambleOver_ = false;
    into_ = Into::Nothing;
    if (!held)
        return;
    mail.ParseLog.Add(ansi("POP3 Trennzeile der mehrteiligen Mail nicht gefunden, ihr Inhalt als Text übernommen"));
    const bool body = !bodyTaken_;
    bodyTaken_ = true;
    if (body && !over) {
        AddText();
        return;
    }
    textBytes_ -= preambleBytes_;
    RemoveOnExit removeSpilled{spilled_.name};
    Spill();
    if (body) {
        AddSpilledText();
        mail.TextCut = true;
    } else {
        spilled_.Close();
    }
    const std::string name = UniqueName("text.tmp");
    std::error_code ec;
    std::filesystem::rename(spilled_.name, path_ + name, ec);
    if (ec)
        throw EInOutError("Cannot rename \"" + spilled_.name + "\" to \"" + path_ + name + "\". " + ec.message());
    spilled_.name.clear();   // it is the file now
    ++files_;
    mail.Attachments.Add(name);
    mail.Body.Add("\r\nFile \"" + name + "\" extracted");
}

// A text part that outgrows TextInMemory goes on to a private file beside the attachments while
// it arrives; it is decoded and converted from there, piece by piece, into the body. A text near
// the record limit is then held once, in the body, and not also as it arrived and as it was
// decoded (nor twice while a growing buffer moves).
void TMailAssembler::Spill() {
    if (!spilled_.out.is_open())
        spilled_.out = createTempFile(path_ + TempFile, spilled_.name);
    spilled_.Write(text_);
    text_.clear();
}

// The text of the body part into body lines: its transfer encoding undone, its charset converted.
void TMailAssembler::AddText() {
    TMailMessage& mail = Mail();
    if (spilled_.out.is_open()) {
        RemoveOnExit removeSpilled{spilled_.name};
        Spill();
        AddSpilledText();
        std::string().swap(text_);
        return;
    }
    std::string text = std::move(text_);
    text_ = std::string();
    const TPartDecoder decoder(textEncoding_, textCharset_);
    if (!decoder.Transparent()) {
        std::istringstream in(std::move(text));
        std::ostringstream out;
        DecodeText(decoder, in, out);
        text = std::move(out).str();
    }
    ConvertText(decoder, text);
    if (decoder.AnyLineEnd()) {
        forEachLine(text, [&](std::string_view line) { mail.Body.Add(line); });
        return;
    }
    // The last line may have ended in a soft line break: it has no line end.
    if (mail.Body.AddText(std::move(text)))
        mail.BodyEndsOpen = true;
}

// A text part's decoding: by a coder of its own (the component's coder and its events are for
// files), malformed escapes logged, the owner's window kept responsive.
void TMailAssembler::DecodeText(const TPartDecoder& decoder, std::istream& in, std::ostream& out) {
    TMailMessage& mail = Mail();
    TUUProcessor coder;
    coder.OnWarning = coder_->OnWarning;
    TTurns turn(turn_);
    int malformed = 0;
    decoder.Decode(in, out, coder, turn, [&] {
        if (malformed++ < MaxEscapeNotes)
            mail.ParseLog.Add("DEQP Fehler in Quoted-Printable-Nachricht");
    });
}

void TMailAssembler::ConvertText(const TPartDecoder& decoder, std::string& text) {
    if (decoder.ToWindows1252(text) || charsetNoted_)
        return;
    charsetNoted_ = true;
    Mail().ParseLog.Add(ansi("POP3 Unbekannter Zeichensatz \"") + decoder.Charset() +
                        ansi("\": Text unverändert übernommen"));
}

// The same as AddText, from the file: the transfer encoding undone into a second private file,
// then the charset converted in pieces that end after a line end (so no character is split;
// a line longer than a piece is split into lines), straight into a body made large enough once.
void TMailAssembler::AddSpilledText() {
    TMailMessage& mail = Mail();
    spilled_.Close();
    const TPartDecoder decoder(textEncoding_, textCharset_);
    const bool anyLineEnd = decoder.AnyLineEnd();
    PrivateFile decoded;
    if (!decoder.Transparent()) {
        std::ifstream in = openInputFile(spilled_.name);
        decoded.out = createTempFile(path_ + TempFile, decoded.name);
        DecodeText(decoder, in, decoded.out);
        decoded.Close();
    }
    const std::string& source = decoded.name.empty() ? spilled_.name : decoded.name;
    std::error_code ec;
    const std::size_t bytes = static_cast<std::size_t>(std::filesystem::file_size(source, ec));
    // Converted into Windows-1252 a text does not grow (line ends made CR LF aside); what would
    // not fit the body as made here is cut, so it never moves to a larger buffer.
    TBodyText& body = mail.Body;
    body.Reserve(body.Text().size() + std::min(MaxText, anyLineEnd ? 2 * bytes : bytes) + 2);
    bool full = false;
    auto fits = [&](std::size_t n) {
        full = full || body.Text().size() + n + 2 > body.Text().capacity();
        mail.TextCut = mail.TextCut || full;
        return !full;
    };
    std::ifstream in = openInputFile(source);
    std::vector<char> window(TextPiece);
    std::string piece, carry;
    // The window goes on handling its messages meanwhile, as while a file is decoded.
    TTurns turn(turn_);
    for (bool last = false; !last && !full;) {
        turn();
        in.read(window.data(), static_cast<std::streamsize>(window.size()));
        const std::size_t n = static_cast<std::size_t>(in.gcount());
        last = n < window.size();
        piece.swap(carry);
        piece.append(window.data(), n);
        carry.clear();
        if (!last) {
            std::size_t cut = piece.rfind('\n');
            for (std::size_t i = piece.size(); cut == std::string::npos && i-- > 0;)
                if (static_cast<unsigned char>(piece[i]) < 0x80 && piece[i] != '\r')
                    cut = i;
            if (cut != std::string::npos) {
                carry.assign(piece, cut + 1);
                piece.resize(cut + 1);
            }
        }
        ConvertText(decoder, piece);
        if (!anyLineEnd) {
            const std::size_t room = body.Text().capacity() - std::min(body.Text().capacity(), body.Text().size() + 2);
            if (fits(piece.size()))
                body.Append(piece);
            else if (const std::size_t end = piece.rfind("\r\n", room); end != std::string::npos && end + 2 <= room)
                body.Append(std::string_view(piece).substr(0, end + 2));   // the whole lines that fit
            continue;
        }
        forEachLine(piece, [&](std::string_view line) {
            if (fits(line.size()))
                body.Add(line);
        });
    }
    // The last line may have ended in a soft line break: it has no line end.
    if (!anyLineEnd && body.CloseLine())
        mail.BodyEndsOpen = true;
}

namespace {

// Where a file name's suffix begins: at its last dot, or where a double suffix that programs
// read as one begins ("archive.tar.gz"); npos for a name without one.
std::size_t suffixAt(const std::string& name) {
    static constexpr std::string_view Doubles[] = {".tar.gz", ".tar.bz2", ".tar.xz", ".tar.zst",
                                                   ".tar.lz", ".tar.lzma", ".tar.z", ".tar.br"};
    const std::string lower = AsciiLower(name);
    for (const std::string_view d : Doubles)
        if (lower.size() > d.size() && lower.compare(lower.size() - d.size(), d.size(), d) == 0)
            return lower.size() - d.size();
    const std::size_t dot = name.rfind('.');
    return dot == 0 ? std::string::npos : dot;
}

} // namespace

std::string TMailAssembler::UniqueName(const std::string& name) {
    if (!FileExists(path_ + name))
        return name;
    // The number goes before the suffix, which a program reading the file looks at:
    // "archive_1.tar.gz", "invoice.pdf_1.exe", "README_1".
    const std::size_t at = suffixAt(name);
    const std::string base = name.substr(0, at);
    const std::string ext = at == std::string::npos ? std::string() : name.substr(at);
    // The first free suffix from 1 on. Suffixes found taken earlier in this session are not
    // tried again: with thousands of unnamed parts (text_1.tmp, text_2.tmp, ...) in one folder,
    // trying them all for every part cost more than receiving the mails.
    int& n = freeSuffix_[{path_, base, ext}];
    n = std::max(n, 1);
    for (;; ++n) {
        std::string candidate = base + "_" + std::to_string(n) + ext;
        if (!FileExists(path_ + candidate))
            return candidate;
    }
}

// No plain text: the text is read from the HTML (its file is the original). Reading the text
// from the HTML is one pass of the HTML parser over all of it, which cannot be cut into pieces
// (a megabyte takes some 50 ms): a large HTML is read on a thread of its own while
// the owner's window goes on handling its messages.
void TMailAssembler::TextFromHtml() {
    std::string html;
    bool cut = false;
    {
        std::ifstream in = openInputFile(path_ + htmlFile_);
        html.resize(std::min<std::size_t>(MaxHtml, MaxText));
        in.read(html.data(), static_cast<std::streamsize>(html.size()));
        html.resize(static_cast<std::size_t>(in.gcount()));
        cut = in && in.peek() != std::char_traits<char>::eof();
    }
    auto toLines = [&html, charset = htmlCharset_] {
        ConvertToUtf8(html, charset);
        const std::string text = Utf8ToWindows1252(HtmlToText(html));
        std::vector<std::string> lines;
        forEachLine(text, [&](std::string_view line) { lines.emplace_back(line); });
        return lines;
    };
    std::vector<std::string> lines;
    if (html.size() <= HtmlAtOnce || !turn_) {
        lines = toLines();
    } else {
        // The thread is waited for however this ends (the future's end waits for it), so
        // `html` outlives it. Without a thread to be had, the window waits.
        std::future<std::vector<std::string>> job;
        try {
            job = std::async(std::launch::async, toLines);
        } catch (const std::system_error&) {
            lines = toLines();
        }
        if (job.valid()) {
            do
                turn_();
            while (job.wait_for(TTurns::Interval) != std::future_status::ready);
            lines = job.get();
            // What the parse freed would stay in the thread's own pool, beside the body and the
            // record that are made next.
            ReleaseFreeMemory();
        }
    }
    TMailMessage& mail = Mail();
    // Read only in part, the text ends with a note, as a plain text cut at the record does.
    if (cut) {
        lines.push_back("");
        lines.push_back(ansi("*** Der Text dieser Nachricht war zu lang und ist hier gekürzt. Die HTML-Fassung ist "
                             "vollständig in der Datei \"") +
                        Utf8ToWindows1252(htmlFile_) + "\" gespeichert. ***");
        mail.ParseLog.Add(ansi("POP3 HTML-Nachricht zu lang, Text gekürzt"));
    }
    mail.Body.Insert(std::max(htmlAt_, 0), lines);
}

} // namespace pb
