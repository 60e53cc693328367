#include "mime/MessageParser.h"

#include "mime/HtmlText.h"
#include "mime/MimeText.h"
#include "mime/PartDecoder.h"
#include "mime/Streams.h"
#include "platform/AnsiText.h"
#include "platform/PrivateFiles.h"
#include "platform/RecordLimit.h"

#include <QChar>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace pb {
namespace {

// Longest value kept of a Content-Type, boundary, encoding or Message-ID.
constexpr std::size_t MaxValue = 256;
// Longest Subject or From value kept (a long name in encoded words takes several lines).
constexpr std::size_t MaxFieldValue = 4096;
// Longest header field looked at, continuation lines included.
constexpr std::size_t MaxField = 64 * 1024;
// Header lines kept of one mail; a part's own header lines kept for "rest.eml".
constexpr std::size_t MaxHead = 4 << 20;
constexpr std::size_t MaxPartHeader = 64 * 1024;
// HTML read back for a mail's text (the whole HTML is in its file).
constexpr std::size_t MaxHtml = 8 << 20;
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

// A type or subtype: a token, characters other than blanks, controls and the tspecials.
bool isToken(std::string_view s) {
    if (s.empty())
        return false;
    for (char c : s) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u <= 32 || u >= 127 || std::string_view("()<>@,;:\\\"/[]?=").find(c) != std::string_view::npos)
            return false;
    }
    return true;
}

// The media type a part is read as (lower case, without parameters). A missing type is
// text/plain; so is an invalid one ("text", "text/", garbage), which stands for text/plain in
// US-ASCII. A multipart whose subtype is missing or invalid but that names its boundary is
// read as multipart/mixed, so that its parts are still found.
std::string mediaType(const TMimeField& f, bool& valid) {
    valid = false;
    std::string_view v = f.Value;
    // A comment may follow the type ("text/plain (Text)").
    if (const std::size_t c = v.find('('); c != std::string_view::npos)
        v = v.substr(0, c);
    const std::size_t slash = v.find('/');
    const std::string_view type = v.substr(0, slash);
    const std::string_view sub = slash == std::string_view::npos ? std::string_view() : v.substr(slash + 1);
    if (isToken(type) && isToken(sub) && v.size() <= MaxValue) {
        valid = true;
        return std::string(v);
    }
    if (type == "multipart" && !f.Param("boundary").empty())
        return "multipart/mixed";
    return "text/plain";
}

} // namespace

// --- TBodyText ------------------------------------------------------------------------------

bool TBodyText::inner(std::size_t crlf) const { return std::binary_search(inner_.begin(), inner_.end(), crlf); }

int TBodyText::Count() const {
    int n = 0;
    for (std::size_t p = 0; (p = text_.find("\r\n", p)) != std::string::npos; p += 2)
        n += inner(p) ? 0 : 1;
    return n;
}

std::vector<std::string> TBodyText::Lines() const {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t p = 0; (p = text_.find("\r\n", p)) != std::string::npos; p += 2) {
        if (inner(p))
            continue;
        lines.push_back(text_.substr(start, p - start));
        start = p + 2;
    }
    return lines;
}

void TBodyText::Add(std::string_view Line) {
    for (std::size_t p = 0; (p = Line.find("\r\n", p)) != std::string_view::npos; p += 2)
        inner_.push_back(text_.size() + p);
    text_ += Line;
    text_ += "\r\n";
}

bool TBodyText::AddText(std::string Text) {
    if (Text.empty())
        return false;
    if (text_.empty())
        text_ = std::move(Text);
    else
        text_ += Text;
    return CloseLine();
}

bool TBodyText::CloseLine() {
    if (text_.empty() || (text_.size() >= 2 && text_.compare(text_.size() - 2, 2, "\r\n") == 0))
        return false;
    text_ += "\r\n";
    return true;
}

void TBodyText::Insert(int Index, const std::vector<std::string>& Lines) {
    std::size_t at = 0;
    for (int n = 0; n < Index && at < text_.size();) {
        const std::size_t p = text_.find("\r\n", at);
        if (p == std::string::npos)
            break;
        at = p + 2;
        n += inner(p) ? 0 : 1;
    }
    TBodyText added;
    for (const std::string& line : Lines)
        added.Add(line);
    const std::size_t shift = added.text_.size();
    auto first = std::lower_bound(inner_.begin(), inner_.end(), at);
    for (auto i = first; i != inner_.end(); ++i)
        *i += shift;
    for (std::size_t& p : added.inner_)
        p += at;
    inner_.insert(first, added.inner_.begin(), added.inner_.end());
    text_.insert(at, added.text_);
}

void TBodyText::Clear() {
    std::string().swap(text_);
    inner_.clear();
}

std::size_t TBodyText::LeadingEmptyBytes() const {
    std::size_t p = 0;
    while (text_.compare(p, 2, "\r\n") == 0 && !inner(p))
        p += 2;
    return p;
}

// --- TMailMessage ---------------------------------------------------------------------------

void TMailMessage::Clear() {
    Head.Clear();
    Body.Clear();
    Attachments.Clear();
    Subject.clear();
    From.clear();
    MessageId.clear();
    TextCut = false;
    BodyEndsOpen = false;
    ParseLog.Clear();
}

std::string Trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ')
        --e;
    return std::string(s.substr(b, e - b));
}

std::string_view WithoutLineEnd(std::string_view line) {
    if (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
    }
    return line;
}

std::string CutLineEnd(std::string line) {
    line.resize(WithoutLineEnd(line).size());
    return line;
}

// --- parse state ----------------------------------------------------------------------------

// What a part's header says, as far as the parse needs it.
struct TMessageParser::Part {
    std::string type = "text/plain";   // lower case, parameters removed
    std::string boundary;
    std::string charset;
    std::string encoding;              // lower case
    std::string typeName;              // Content-Type's name, UTF-8
    std::string fileName;              // Content-Disposition's filename, UTF-8
    bool attachment = false;           // Content-Disposition: attachment
    std::string rawHeader;             // the header lines as received (bounded)

    const std::string& name() const { return fileName.empty() ? typeName : fileName; }
    bool marked() const { return attachment || !name().empty(); }
};

// A multipart/alternative being read: once one of its text alternatives is taken (as the body,
// the HTML text or a file), the others only repeat it.
struct TMessageParser::Alternative {
    Alternative* parent = nullptr;
    bool used = false;
    void use() {
        for (Alternative* a = this; a; a = a->parent)
            a->used = true;
    }
};

// A text part that outgrows TextInMemory goes on to a private file beside the attachments while
// it arrives; it is decoded and converted from there, piece by piece, into the body. A text near
// the record limit is then held once, in the body, and not also as it arrived and as it was
// decoded (nor twice while a growing buffer moves).
struct TMessageParser::TextFile {
    std::string name;
    std::ofstream out;
    ~TextFile() {
        if (!name.empty())
            removeFile(name);
    }
};

TMessageParser::TMessageParser(TUUProcessor& Coder, TPieceSource& Source, StatusSink Status)
    : MaxText(kMaxRecordSize), coder_(Coder), source_(Source), status_(std::move(Status)) {}


TMessageParser::~TMessageParser() = default;

std::string TMessageParser::SafeFileName(const std::string& Name) {
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

// The next piece of the mail: a line with its line end, or a part of a longer line. After the
// end of the mail nothing more is read: the next bytes on the connection belong to the next
// answer.
const std::string& TMessageParser::NextPiece() {
    pieceStart_ = lineStart_;
    if (ended_ || !source_.NextPiece(piece_))
        return EndOfMail();
    lineStart_ = !piece_.empty() && piece_.back() == '\n';
    return piece_;
}

// A line for header or text: one longer than MaxLine keeps its first piece and loses the rest.
const std::string& TMessageParser::ReadWholeLine() {
    pieceStart_ = lineStart_;
    if (ended_ || !source_.NextLine(piece_, linesCut_))
        return EndOfMail();
    lineStart_ = true;
    return piece_;
}

const std::string& TMessageParser::EndOfMail() {
    ended_ = true;
    piece_.clear();
    return piece_;
}

TMessageParser::Delimiter TMessageParser::MatchDelimiter(const std::string& piece) const {
    if (!pieceStart_ || boundaries_.empty() || piece.size() < 2 || piece[0] != '-' || piece[1] != '-')
        return {};
    std::string_view line(piece);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    // The innermost boundary first: a boundary used again by a nested part is the inner one's.
    for (int level = static_cast<int>(boundaries_.size()) - 1; level >= 0; --level) {
        const std::string& b = boundaries_[static_cast<std::size_t>(level)];
        if (line.size() < 2 + b.size() || line.compare(2, b.size(), b) != 0)
            continue;
        std::string_view rest = line.substr(2 + b.size());
        const bool closing = rest.substr(0, 2) == "--";
        if (closing)
            rest.remove_prefix(2);
        if (rest.find_first_not_of(" \t") == std::string_view::npos)
            return {level, closing};
    }
    return {};
}

TMessageParser::Delimiter TMessageParser::ReadHeader(TMailMessage& Mail, Part& part, bool top) {
    std::string field;   // the field being read, continuation lines joined (line ends removed)
    auto take = [&] {
        if (!field.empty())
            TakeField(Mail, part, field, top);
        field.clear();
    };
    while (!ended_) {
        const std::string& raw = ReadWholeLine();
        if (ended_)
            break;   // a header cut off by the end of the mail
        if (!top) {
            if (const Delimiter d = MatchDelimiter(raw); d.level >= 0) {
                take();
                lastDelimiter_ = raw;
                return d;
            }
            if (part.rawHeader.size() + raw.size() <= MaxPartHeader)
                part.rawHeader += raw;
        }
        const std::string_view line = WithoutLineEnd(raw);
        if (top) {
            if (headBytes_ + line.size() <= MaxHead) {
                headBytes_ += line.size() + 3;
                Mail.Head.Add(std::string(line));
            } else if (!headNoted_) {
                headNoted_ = true;
                Mail.ParseLog.Add(ansi("POP3 Kopfzeilen über 4 MB nicht übernommen"));
            }
        }
        if (line.empty())
            break;
        if ((line[0] == ' ' || line[0] == '\t') && !field.empty()) {
            if (field.size() + line.size() <= MaxField)
                field += line;
        } else {
            take();
            field.assign(line.substr(0, MaxField));
        }
    }
    take();
    return {};
}

void TMessageParser::TakeField(TMailMessage& Mail, Part& part, const std::string& field, bool top) {
    if (top) {
        const std::string first = AnsiUpperCase(NthWord(field, ' ', 1));
        if (first == "SUBJECT:")
            Mail.Subject = CopyFrom(field, 9, MaxFieldValue);
        else if (first == "FROM:")
            Mail.From = CopyFrom(field, 7, MaxFieldValue);
        else if (first == "MESSAGE-ID:")
            Mail.MessageId = CopyFrom(field, 13, MaxValue);
    }
    const std::size_t colon = field.find(':');
    if (colon == std::string::npos)
        return;
    const std::string name = AsciiLower(Trim(std::string_view(field).substr(0, colon)));
    const std::string_view value = std::string_view(field).substr(colon + 1);
    if (name == "content-type") {
        const TMimeField f = ParseMimeField(value);
        bool valid = false;
        part.type = mediaType(f, valid);
        part.boundary = f.Param("boundary").substr(0, MaxValue);
        // An invalid type is text/plain in US-ASCII: its 8-bit bytes are undeclared.
        part.charset = valid ? f.Param("charset").substr(0, MaxValue) : std::string();
        part.typeName = DecodeEncodedWords(f.Param("name").substr(0, MaxValue * 4), true);
    } else if (name == "content-transfer-encoding") {
        part.encoding = AsciiLower(Trim(value)).substr(0, MaxValue);
    } else if (name == "content-disposition") {
        const TMimeField f = ParseMimeField(value);
        part.attachment = f.Value == "attachment";
        part.fileName = DecodeEncodedWords(f.Param("filename").substr(0, MaxValue * 4), true);
    }
}

TMessageParser::Delimiter TMessageParser::SkipToDelimiter() {
    while (!ended_) {
        const std::string& piece = NextPiece();
        if (ended_)
            break;
        if (const Delimiter d = MatchDelimiter(piece); d.level >= 0) {
            lastDelimiter_ = piece;
            return d;
        }
    }
    return {};
}

TMessageParser::Delimiter TMessageParser::ReadEntity(TMailMessage& Mail, Part& part, int depth, Alternative* alt) {
    const bool multipart = part.type.compare(0, 10, "multipart/") == 0 && !part.boundary.empty();
    if (multipart && depth < MaxDepth) {
        boundaries_.push_back(part.boundary);
        const int level = static_cast<int>(boundaries_.size()) - 1;
        Alternative own{alt, alt && alt->used};
        Alternative* inner = part.type == "multipart/alternative" ? &own : alt;
        // The preamble, then the parts up to the closing delimiter, a delimiter of an enclosing
        // multipart or the end of the mail.
        Delimiter d = SkipToDelimiter();
        while (!ended_ && d.level == level && !d.closing) {
            Part child;
            d = ReadHeader(Mail, child, false);
            if (d.level < 0 && !ended_)
                d = ReadEntity(Mail, child, depth + 1, inner);
        }
        boundaries_.resize(static_cast<std::size_t>(level));
        // After the closing delimiter: the epilogue, up to a delimiter of an enclosing one.
        if (!ended_ && d.level == level)
            d = SkipToDelimiter();
        return d;
    }

    const bool isText = part.type.compare(0, 5, "text/") == 0;
    if (!part.marked() && part.type == "text/plain" && !bodyTaken_) {
        bodyTaken_ = true;
        if (alt)
            alt->use();
        std::string text;
        TextFile spilled;
        Delimiter d;
        try {
            d = ReadText(Mail, text, spilled);
        } catch (...) {
            // A read that failed or was canceled keeps what had arrived.
            AddText(Mail, part, std::move(text), spilled);
            throw;
        }
        AddText(Mail, part, std::move(text), spilled);
        return d;
    }
    if (isText && alt && alt->used && !part.attachment)
        return SkipToDelimiter();   // repeats the text already taken
    if (alt && isText && !part.marked())
        alt->use();
    if (!part.marked() && part.type == "text/html" && !bodyTaken_ && !htmlTaken_) {
        const int at = Mail.Body.Count();
        std::string saved;
        const Delimiter d = ReadToFile(Mail, part, "text.html", &saved);
        if (!saved.empty()) {
            htmlTaken_ = true;
            htmlFile_ = saved;
            htmlAt_ = at;
            htmlCharset_ = part.charset;
        }
        return d;
    }
    return ReadToFile(Mail, part, part.type == "message/rfc822" ? "nachricht.eml" : "text.tmp", nullptr);
}

TMessageParser::Delimiter TMessageParser::ReadText(TMailMessage& Mail, std::string& text, TextFile& spilled) {
    if (status_)
        status_(1, "Extracting file");
    while (!ended_) {
        const std::string& raw = ReadWholeLine();
        if (ended_)
            break;
        if (const Delimiter d = MatchDelimiter(raw); d.level >= 0) {
            lastDelimiter_ = raw;
            return d;
        }
        const std::string_view line = WithoutLineEnd(raw);
        if (textBytes_ + line.size() + 2 > MaxText) {
            Mail.TextCut = true;
            continue;
        }
        textBytes_ += line.size() + 2;
        text += line;
        text += "\r\n";
        if (text.size() > TextInMemory)
            Spill(text, spilled);
    }
    return {};
}

void TMessageParser::Spill(std::string& text, TextFile& file) {
    if (!file.out.is_open())
        file.out = createTempFile(AttachFilePath + TempFile, file.name);
    if (!file.out.write(text.data(), static_cast<std::streamsize>(text.size())))
        throw EStreamError("Stream write error");
    text.clear();
}

void TMessageParser::Note(TMailMessage& Mail, const std::string& Entry, bool& once) {
    if (once)
        return;
    once = true;
    Mail.ParseLog.Add(Entry);
}

// The text of a part into body lines: its transfer encoding undone, its charset converted.
void TMessageParser::AddText(TMailMessage& Mail, const Part& part, std::string text, TextFile& spilled) {
    if (spilled.out.is_open()) {
        Spill(text, spilled);
        AddSpilledText(Mail, part, spilled);
        return;
    }
    const TPartDecoder decoder(part.encoding, part.charset);
    if (!decoder.Transparent()) {
        std::istringstream in(std::move(text));
        std::ostringstream out;
        DecodeText(Mail, decoder, in, out);
        text = std::move(out).str();
    }
    ConvertText(Mail, decoder, text);
    if (decoder.AnyLineEnd()) {
        forEachLine(text, [&](std::string_view line) { Mail.Body.Add(line); });
        return;
    }
    // The last line may have ended in a soft line break: it has no line end.
    if (Mail.Body.AddText(std::move(text)))
        Mail.BodyEndsOpen = true;
}

// A text part's decoding: by a coder of its own (the component's coder and its events are for
// files), malformed escapes logged, the owner's window kept responsive.
void TMessageParser::DecodeText(TMailMessage& Mail, const TPartDecoder& decoder, std::istream& in,
                                std::ostream& out) {
    TUUProcessor coder;
    coder.OnWarning = coder_.OnWarning;
    TTurns turn(OnTurn);
    int malformed = 0;
    decoder.Decode(in, out, coder, turn, [&] {
        if (malformed++ < MaxEscapeNotes)
            Mail.ParseLog.Add("DEQP Fehler in Quoted-Printable-Nachricht");
    });
}

void TMessageParser::ConvertText(TMailMessage& Mail, const TPartDecoder& decoder, std::string& text) {
    if (!decoder.ToWindows1252(text))
        Note(Mail, ansi("POP3 Unbekannter Zeichensatz \"") + decoder.Charset() + ansi("\": Text unverändert übernommen"),
             charsetNoted_);
}

// The same as AddText, from the file: the transfer encoding undone into a second private file,
// then the charset converted in pieces that end after a line end (so no character is split;
// a line longer than a piece is split into lines), straight into a body made large enough once.
void TMessageParser::AddSpilledText(TMailMessage& Mail, const Part& part, TextFile& raw) {
    raw.out.close();
    if (raw.out.fail())
        throw EStreamError("Stream write error");
    const TPartDecoder decoder(part.encoding, part.charset);
    const bool anyLineEnd = decoder.AnyLineEnd();
    TextFile decoded;
    if (!decoder.Transparent()) {
        std::ifstream in = openInputFile(raw.name);
        decoded.out = createTempFile(AttachFilePath + TempFile, decoded.name);
        DecodeText(Mail, decoder, in, decoded.out);
        decoded.out.close();
        if (decoded.out.fail())
            throw EStreamError("Stream write error");
    }
    const std::string& source = decoded.name.empty() ? raw.name : decoded.name;
    std::error_code ec;
    const std::size_t bytes = static_cast<std::size_t>(std::filesystem::file_size(source, ec));
    // Converted into Windows-1252 a text does not grow (line ends made CR LF aside); what would
    // not fit the body as made here is cut, so it never moves to a larger buffer.
    TBodyText& body = Mail.Body;
    body.Reserve(body.Text().size() + std::min(MaxText, anyLineEnd ? 2 * bytes : bytes) + 2);
    bool full = false;
    auto fits = [&](std::size_t n) {
        full = full || body.Text().size() + n + 2 > body.Text().capacity();
        Mail.TextCut = Mail.TextCut || full;
        return !full;
    };
    std::ifstream in = openInputFile(source);
    std::vector<char> window(TextPiece);
    std::string piece, carry;
    // The window goes on handling its messages meanwhile, as while a file is decoded.
    TTurns turn(OnTurn);
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
        ConvertText(Mail, decoder, piece);
        if (!anyLineEnd) {
            if (fits(piece.size()))
                body.Append(piece);
            continue;
        }
        forEachLine(piece, [&](std::string_view line) {
            if (fits(line.size()))
                body.Add(line);
        });
    }
    // The last line may have ended in a soft line break: it has no line end.
    if (!anyLineEnd && body.CloseLine())
        Mail.BodyEndsOpen = true;
}

std::string TMessageParser::UniqueName(const std::string& name) {
    if (!FileExists(AttachFilePath + name))
        return name;
    const std::string base = NthWord(name, '.', 1);
    const std::string ext = NthWord(name, '.', 2);
    // The first free suffix from 1 on. Suffixes found taken earlier in this session are not
    // tried again: with thousands of unnamed parts (text_1.tmp, text_2.tmp, ...) in one folder,
    // trying them all for every part cost more than receiving the mails.
    int& n = freeSuffix_[{AttachFilePath, base, ext}];
    n = std::max(n, 1);
    for (;; ++n) {
        std::string candidate = base + "_" + std::to_string(n) + "." + ext;
        if (!FileExists(AttachFilePath + candidate))
            return candidate;
    }
}

TMessageParser::Delimiter TMessageParser::ReadToFile(TMailMessage& Mail, Part& part, const std::string& defaultName,
                                                     std::string* saved) {
    if (files_ >= MaxFiles - 1) {
        RestOfMail(Mail, part);
        return {};
    }
    // The raw part goes under a private name, removed once the part is done, whatever happens.
    std::string tempName;
    struct RemoveTemp {
        std::string& name;
        ~RemoveTemp() {
            if (!name.empty())
                removeFile(name);
        }
    } removeTemp{tempName};
    std::ofstream temp = createTempFile(AttachFilePath + TempFile, tempName);
    if (status_)
        status_(1, "Extracting file");
    Delimiter d;
    std::uint64_t written = 0;
    // The lines go to the file in large writes: the stream's own buffer would hand a large
    // attachment to the system in 8 KB steps.
    std::string chunk;
    auto flush = [&] {
        if (!temp.write(chunk.data(), static_cast<std::streamsize>(chunk.size())))
            throw EStreamError("Stream write error");
        chunk.clear();
    };
    // The line end before a delimiter line belongs to the delimiter, not to the part: the line
    // end of each line waits until the next line shows that the part goes on.
    std::string_view heldEnd;
    while (!ended_) {
        const std::string& piece = NextPiece();
        if (ended_)
            break;
        if (d = MatchDelimiter(piece); d.level >= 0) {
            lastDelimiter_ = piece;
            heldEnd = {};
            break;
        }
        chunk += heldEnd;
        const std::string_view end = piece.size() >= 2 && piece.compare(piece.size() - 2, 2, "\r\n") == 0 ? "\r\n"
                                     : !piece.empty() && piece.back() == '\n'                             ? "\n"
                                                                                                          : "";
        chunk.append(piece, 0, piece.size() - end.size());
        heldEnd = end;
        written += piece.size();
        if (chunk.size() >= WriteChunk)
            flush();
    }
    // A part that the end of the mail cut off keeps its last line end.
    chunk += heldEnd;
    flush();
    temp.close();
    if (temp.fail())
        throw EStreamError("Stream write error");

    const bool named = !part.name().empty();
    // An empty part without a name holds nothing worth a file.
    if (written == 0 && !named)
        return d;
    const std::string name = UniqueName(SafeFileName(named ? part.name() : defaultName));
    const std::string target = AttachFilePath + name;
    const TPartDecoder decoder(part.encoding, {});
    if (decoder.Transparent()) {
        std::error_code ec;
        std::filesystem::rename(tempName, target, ec);
        if (ec)
            throw EInOutError("Cannot rename \"" + tempName + "\" to \"" + target + "\". " + ec.message());
        tempName.clear();   // it is the attachment now
    } else {
        std::ifstream source = openInputFile(tempName);
        std::ofstream decoded = createOutputFile(target);
        if (decoder.AnyLineEnd() && status_)
            status_(1, "Decoding file");
        // A large attachment takes a while to decode: the owner's window goes on handling its
        // messages meanwhile (timers, "Abbrechen"). A cancel lets the decode finish; the next
        // read of the mail ends it.
        TTurns turn(OnTurn);
        decoder.Decode(source, decoded, coder_, turn);
        decoded.close();
        if (decoded.fail())
            throw EStreamError("Stream write error");
    }
    std::error_code ec;
    if (!named && std::filesystem::file_size(target, ec) == 0 && !ec) {
        removeFile(target);
        return d;
    }
    ++files_;
    Mail.Attachments.Add(name);
    Mail.Body.Add("\r\nFile \"" + Utf8ToWindows1252(name) + "\" extracted");
    if (saved)
        *saved = name;
    return d;
}

// The file limit is reached: everything from this part's delimiter to the end of the mail goes
// into one last file, as it came.
void TMessageParser::RestOfMail(TMailMessage& Mail, const Part& part) {
    const std::string name = UniqueName("rest.eml");
    std::ofstream out = createOutputFile(AttachFilePath + name);
    auto write = [&](const std::string& bytes) {
        if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())))
            throw EStreamError("Stream write error");
    };
    write(lastDelimiter_);
    write(part.rawHeader);
    while (!ended_) {
        const std::string& piece = NextPiece();
        if (!ended_)
            write(piece);
    }
    out.close();
    if (out.fail())
        throw EStreamError("Stream write error");
    ++files_;
    Mail.Attachments.Add(name);
    Mail.Body.Add("\r\nFile \"" + name + "\" extracted");
    Mail.ParseLog.Add("POP3 Mehr als " + std::to_string(MaxFiles) + " Dateien in der Mail, der Rest steht in \"" +
                      name + "\"");
}

void TMessageParser::Parse(TMailMessage& Mail) {
    ended_ = false;
    lineStart_ = true;
    pieceStart_ = true;
    boundaries_.clear();
    lastDelimiter_.clear();
    bodyTaken_ = htmlTaken_ = false;
    files_ = 0;
    textBytes_ = headBytes_ = 0;
    linesCut_ = headNoted_ = charsetNoted_ = false;
    htmlFile_.clear();
    htmlCharset_.clear();
    htmlAt_ = -1;
    Part top;
    ReadHeader(Mail, top, true);
    if (!ended_)
        ReadEntity(Mail, top, 0, nullptr);
    while (!ended_)
        NextPiece();
    Finish(Mail);
}

void TMessageParser::Finish(TMailMessage& Mail) {
    if (linesCut_)
        Mail.ParseLog.Add(ansi("POP3 Zeilen über 1 MB gekürzt"));
    if (bodyTaken_ || !htmlTaken_)
        return;
    // No plain text: the text is read from the HTML (its file is the original).
    std::string html;
    {
        std::ifstream in = openInputFile(AttachFilePath + htmlFile_);
        html.resize(std::min<std::size_t>(MaxHtml, MaxText));
        in.read(html.data(), static_cast<std::streamsize>(html.size()));
        html.resize(static_cast<std::size_t>(in.gcount()));
    }
    ConvertToUtf8(html, htmlCharset_);
    const std::string text = Utf8ToWindows1252(HtmlToText(html));
    std::vector<std::string> lines;
    forEachLine(text, [&](std::string_view line) { lines.emplace_back(line); });
    Mail.Body.Insert(std::max(htmlAt_, 0), lines);
}

} // namespace pb
