#pragma once
// TMessageParser: splits one retrieved mail, read line by line as the server sends it, into a
// TMailMessage: the header lines, the subject, sender and message id, the body text in
// Windows-1252, and every other part as a file in AttachFilePath. One pass, the mail is never
// held whole: attachments go to disk as they arrive, text is kept up to the host's record size
// (a long text waits on disk until it is converted into the body).
//
// MIME (RFC 2045-2049): a part ends only at a delimiter line of its own or of an enclosing
// multipart ("--" boundary, "--" boundary "--" for the last, blanks allowed after either);
// multiparts nest to MaxDepth, deeper ones are saved whole. The line end before a delimiter
// belongs to the delimiter, so a saved part ends where it ended in the mail (a forwarded mail is
// saved byte for byte). An invalid or subtype-less Content-Type is text/plain in US-ASCII, a
// multipart of that kind with a boundary multipart/mixed. The body is the first text/plain
// part that is not an attachment; the other text alternatives of a multipart/alternative are
// not saved (they repeat the text); an HTML-only mail gets its text from the HTML, which is
// saved as well. Transfer encodings are taken per part (base64, quoted-printable, x-uuencode,
// 7bit/8bit/binary), charsets are converted into Windows-1252. Every saved file gets a notice
// line in the body naming it as saved.
//
// Bounds, whatever the server sends: a line is read in pieces of at most MaxLine bytes (longer
// lines of a file part are written in pieces, in a header or text they are cut), the text kept
// stops at the record limit, at most MaxFiles files per mail and the rest of the mail in one
// last file "rest.eml". What the parse had to cut or could not convert is said in ParseLog.
#include "mime/ExStrings.h"
#include "mime/UUCoder.h"

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace pb {

class TPartDecoder;

// The body text of a mail: its lines one after the other in one buffer, each followed by CR LF.
// A long text costs its bytes, not a string per line, and goes into the host's record as it is.
// A line added with a CR LF of its own (the notice of a saved file begins with one) stays one
// line: those few inner line ends are remembered apart.
class TBodyText {
public:
    bool Empty() const { return text_.empty(); }
    int Count() const;
    std::vector<std::string> Lines() const;
    void Add(std::string_view Line);
    // Appends a text whose lines end in CR LF; the last line may lack its CR LF (it gets one
    // here). Returns whether it lacked it. A text added to an empty body is taken over, not copied.
    bool AddText(std::string Text);
    // Appends bytes as they are (lines of text); CloseLine ends an unfinished last line and
    // returns whether there was one.
    void Append(std::string_view Bytes) { text_ += Bytes; }
    bool CloseLine();
    void Reserve(std::size_t Bytes) { text_.reserve(Bytes); }
    // Inserts lines before line Index (0..Count()).
    void Insert(int Index, const std::vector<std::string>& Lines);
    // Frees the buffer.
    void Clear();
    // Every line with its CR LF.
    const std::string& Text() const { return text_; }
    std::string& Text() { return text_; }
    // Bytes of the empty lines the body begins with.
    std::size_t LeadingEmptyBytes() const;

private:
    bool inner(std::size_t crlf) const;
    std::string text_;
    std::vector<std::size_t> inner_;   // positions of CR LF pairs inside a line, ascending
};

// One retrieved mail (GetMailMessage).
class TMailMessage {
public:
    TExStringList Head;        // header lines as received, line ends cut, ending with the empty line
    TBodyText Body;            // body text lines (Windows-1252), plus one notice line per file
    TStringList Attachments;   // file names written (without AttachFilePath), in order
    std::string From;          // the From value as received (folded lines joined)
    std::string Subject;       // the Subject value as received, the blank after the colon kept
    std::string MessageId;
    // The text was cut at the record limit while it arrived (the conversion cuts it exactly).
    bool TextCut = false;
    // The body's last line ended in a quoted-printable soft line break: the text has no line
    // end after it.
    bool BodyEndsOpen = false;
    // Activity log entries of the parse (Windows-1252 with their tag), in order.
    TStringList ParseLog;

    void Clear();
};

// The line end a line has (CR LF, or a bare LF) removed.
std::string CutLineEnd(std::string Line);
std::string_view WithoutLineEnd(std::string_view Line);
// Blanks and control characters off both ends.
std::string Trim(std::string_view Text);

// Where the parser reads a mail from: its lines with their line ends as the server sent them,
// the doubled leading dots undone, a line longer than MaxLine in pieces (every piece but the
// last without LF). Both calls return false once the mail has ended, and from then on.
class TPieceSource {
public:
    virtual ~TPieceSource() = default;
    virtual bool NextPiece(std::string& Piece) = 0;
    // A whole line: of a longer one the first piece, the rest passed over (Cut is then set).
    virtual bool NextLine(std::string& Line, bool& Cut) = 0;
};

class TMessageParser {
public:
    using StatusSink = std::function<void(int Level, const std::string& Text)>;

    // The mail comes from Source, which ends where the mail ends, so the connection under it
    // stays in step. Coder decodes the attachments (its OnWarning tells the user about their
    // faults); text parts are decoded by coders of their own.
    TMessageParser(TUUProcessor& Coder, TPieceSource& Source, StatusSink Status = {});
    ~TMessageParser();

    static constexpr std::size_t MaxLine = 1 << 20;
    static constexpr int MaxDepth = 32;
    static constexpr int MaxFiles = 100;

    // Prefix of every file the parse writes: "Temp.mme.XXXXXX" (a private name, removed once the
    // part is saved) and the attachments.
    std::string AttachFilePath;
    // Most text bytes a mail keeps (the host's record holds no more).
    std::size_t MaxText;
    // A text part longer than this is kept on disk while it arrives (see TextFile).
    std::size_t TextInMemory = 1 << 20;
    // The pieces in which such a text is converted into the body.
    std::size_t TextPiece = 1 << 20;

    // Called every few milliseconds while a long part is decoded or converted: the owner keeps
    // its window responsive from here (the parser never turns an event loop itself).
    std::function<void()> OnTurn;

    // A new session: attachment names are looked for afresh from suffix 1 (files may have
    // been removed from the folder since the last one).
    void ForgetTakenNames() { freeSuffix_.clear(); }
    // After RETR was accepted: reads the whole mail into Mail (cleared first by the caller).
    void Parse(TMailMessage& Mail);

    // The name an attachment may be written under: what follows the last "/" or "\", in UTF-8
    // (undeclared 8-bit bytes read as undeclared text is), without control characters and
    // without the characters that show nothing (Unicode format characters and line or
    // paragraph separators), cut on a UTF-8 character boundary to a length every file system
    // takes; "text.tmp" when that leaves nothing, "." or ".."; then made harmless
    // (harmlessFileName).
    static std::string SafeFileName(const std::string& Name);

private:
    struct Part;
    struct Alternative;
    struct Delimiter {
        int level = -1;   // index into boundaries_, -1 for none (end of mail or of a header)
        bool closing = false;
    };
    struct FileOut;
    struct TextFile;

    // Both hand out a buffer of the parser's, valid until the next read.
    const std::string& NextPiece();
    const std::string& ReadWholeLine();
    const std::string& EndOfMail();
    Delimiter MatchDelimiter(const std::string& piece) const;
    Delimiter ReadHeader(TMailMessage& Mail, Part& part, bool top);
    void TakeField(TMailMessage& Mail, Part& part, const std::string& field, bool top);
    Delimiter ReadEntity(TMailMessage& Mail, Part& part, int depth, Alternative* alt);
    Delimiter SkipToDelimiter();
    Delimiter ReadText(TMailMessage& Mail, std::string& text, TextFile& spilled);
    void Spill(std::string& text, TextFile& file);
    Delimiter ReadToFile(TMailMessage& Mail, Part& part, const std::string& defaultName, std::string* saved);
    void AddText(TMailMessage& Mail, const Part& part, std::string text, TextFile& spilled);
    void AddSpilledText(TMailMessage& Mail, const Part& part, TextFile& raw);
    void DecodeText(TMailMessage& Mail, const TPartDecoder& decoder, std::istream& in, std::ostream& out);
    void ConvertText(TMailMessage& Mail, const TPartDecoder& decoder, std::string& text);
    void Note(TMailMessage& Mail, const std::string& Entry, bool& once);
    std::string UniqueName(const std::string& name);
    void RestOfMail(TMailMessage& Mail, const Part& part);
    void Finish(TMailMessage& Mail);

    TUUProcessor& coder_;
    TPieceSource& source_;
    StatusSink status_;
    std::string piece_;       // the piece just read
    bool ended_ = false;       // the end-of-message line has been read
    bool lineStart_ = true;    // the next piece begins a line
    bool pieceStart_ = true;   // the piece just read began a line
    std::vector<std::string> boundaries_;
    std::string lastDelimiter_;   // the delimiter line that began the current part
    // Per mail.
    bool bodyTaken_ = false;
    int files_ = 0;
    std::size_t textBytes_ = 0;
    std::size_t headBytes_ = 0;
    bool linesCut_ = false, charsetNoted_ = false, headNoted_ = false;
    // The first HTML part, whose text becomes the body should no plain text come: its file,
    // its charset and the body line where its text goes.
    bool htmlTaken_ = false;
    std::string htmlFile_;
    std::string htmlCharset_;
    int htmlAt_ = -1;
    // Per folder, base name and extension: the lowest suffix not yet found taken this session.
    std::map<std::tuple<std::string, std::string, std::string>, int> freeSuffix_;
};

} // namespace pb
