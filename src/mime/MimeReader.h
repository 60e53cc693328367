#pragma once
// TMimeReader: the structure of one mail, told as events while its bytes arrive. It is fed the
// mail's bytes in pieces of any size (a whole mail, a line, a byte at a time: the events are the
// same) and tells its owner of the mail's header lines and fields, of each part as it begins
// (its header read), of the part's body bytes and of the part's end. What becomes of a part
// (the body text, a file, nothing) is the owner's choice, made when the part begins; the reader
// keeps no text, writes no file, turns no event loop and shows nothing.
//
// MIME (RFC 2045-2049): a part ends only at a delimiter line of its own or of an enclosing
// multipart ("--" boundary, "--" boundary "--" for the last, blanks allowed after either); the
// innermost boundary is tried first. A multipart's preamble (what comes before its first
// delimiter) is its owner's to take or pass over, as for any part: it is all a multipart whose
// delimiter never comes holds. A multipart without a boundary, or with one longer than
// MaxBoundary, has no delimiter that could be found and is read as one text/plain part. Multiparts nest to MaxDepth, deeper ones are read as one
// part. The line end before a delimiter belongs to the delimiter, so a part read as bytes ends
// where it ended in the mail. An invalid or subtype-less Content-Type is text/plain in US-ASCII,
// a multipart of that kind that names its boundary multipart/mixed. A part whose header a
// delimiter cuts off has no body and no events of its own beyond its header fields.
//
// Bounds, whatever a sender writes: a line is looked at in its first MaxLine bytes (a header or
// text line longer than that is cut, a part read as bytes gets all of it in pieces); a header
// field is kept to MaxField bytes, continuation lines included; a part's raw header to
// MaxPartHeader bytes.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace pb {

// What a part's header says, as far as the parts of a mail are told apart and named.
struct TPartHeader {
    std::string Type = "text/plain";   // media type, lower case, without parameters
    std::string Boundary;              // a multipart's boundary
    std::string Charset;               // as declared; empty for an invalid type (undeclared bytes)
    std::string Encoding;              // Content-Transfer-Encoding, lower case, blanks removed
    std::string TypeName;              // Content-Type's name, encoded words decoded, UTF-8
    std::string FileName;              // Content-Disposition's filename, encoded words decoded, UTF-8
    bool Attachment = false;           // Content-Disposition: attachment
    int Depth = 0;                     // 0 for the mail itself, 1 for a part of its multipart, ...
    bool Multipart = false;            // its parts follow as parts of their own
    std::string Delimiter;             // the delimiter line that began the part, with its line end
    std::string RawHeader;             // the part's header lines as received (bounded), blank line included

    const std::string& Name() const { return FileName.empty() ? TypeName : FileName; }
    // The part is meant as a file: marked as an attachment or named.
    bool Marked() const { return Attachment || !Name().empty(); }
};

// How the body of a part that is not a multipart is handed on.
enum class TPartBody {
    Lines,        // each line without its line end (a line longer than MaxLine: its first MaxLine bytes)
    Bytes,        // the part's bytes as they came, in pieces, without the line end of its delimiter
    Skip,         // nothing (the part is passed over)
    RestOfMail,   // every byte from here to the end of the mail as it came; no more parts are told
};

class TMimeEvents {
public:
    virtual ~TMimeEvents() = default;
    // A line of the mail's own header as received, its line end removed (a line longer than
    // MaxLine cut). The empty line that ends the header is one too.
    virtual void HeaderLine(std::string_view Line) = 0;
    // A header field of the mail (Depth 0) or of a part, continuation lines joined without their
    // line ends.
    virtual void HeaderField(std::string_view Field, int Depth) = 0;
    // A part's header is read. For a multipart the answer is for its preamble (Lines, Bytes or
    // Skip; RestOfMail as Skip): its bytes come before the first of its parts begins. Its parts
    // follow, each between its own PartBegins and PartEnds, before the multipart's PartEnds.
    virtual TPartBody PartBegins(const TPartHeader& Part) = 0;
    // Body bytes of the innermost part begun and not ended, as its answer asked.
    virtual void BodyBytes(std::string_view Bytes) = 0;
    virtual void PartEnds(const TPartHeader& Part) = 0;
    // The mail's bytes have ended. Complete: the whole mail came (End), and every part begun
    // has had its PartEnds. Not complete: the feed was broken off (Abandon), and the parts
    // still open get no PartEnds (the owner knows which it had begun and keeps or drops them).
    // LinesCut: a header or text line was longer than MaxLine and was cut. BodyHeldText: the
    // mail's body (after its header) held a byte other than blanks and line ends, whether or
    // not a part was told of it.
    virtual void MailEnds(bool Complete, bool LinesCut, bool BodyHeldText) = 0;
};

class TMimeReader {
public:
    static constexpr std::size_t MaxLine = 1 << 20;
    static constexpr int MaxDepth = 32;
    static constexpr std::size_t MaxField = 64 * 1024;
    static constexpr std::size_t MaxPartHeader = 64 * 1024;
    // RFC 2046 allows 70 characters; what a sender may still mean is taken, not more.
    static constexpr std::size_t MaxBoundary = 256;

    explicit TMimeReader(TMimeEvents& Events);
    ~TMimeReader();

    // A new mail: everything of the last one is forgotten.
    void Begin();
    // The next bytes of the mail, as they came (no transport framing: no end line, no doubled
    // dots), in pieces of any size.
    void Feed(std::string_view Bytes);
    // The mail has ended: the last line (even without a line end) is read, every open part
    // ends, MailEnds(true, ...).
    void End();
    // The feed broke off (a failed or canceled read): MailEnds(false, ...). Lines and bytes
    // that had arrived whole have been handed on; an unfinished line is handed on too.
    void Abandon();

private:
    enum class TState { Header, Lines, Bytes, Skip, Rest, Done };
    struct TLine;
    struct TMatch {
        int level = -1;   // index into multiparts_; -1: no delimiter
        bool closing = false;
    };

    void Segment(std::string_view Seg, bool Complete);
    void NoteText(std::string_view Bytes);
    void Take(const TLine& Line);
    void TakeHeaderLine(const TLine& Line);
    void TakeField();
    void BeginBody();
    void TakeDelimiter(const TLine& Line, TMatch Match);
    TMatch MatchDelimiter(std::string_view Text) const;
    bool MayBeDelimiter(std::string_view Seg) const;
    void StartContentLine();
    void PassOn(std::string_view Seg, bool Complete);
    void HoldEnd(std::string_view End);
    void Emit(std::string_view Bytes);
    void FlushRun();
    void FinishLine(bool Abandoned);
    void Finish(bool Complete);

    TMimeEvents& events_;
    TState state_ = TState::Header;
    TPartHeader part_;                     // the part whose header or body is being read
    bool leafOpen_ = false;                // part_ has begun and not ended
    std::vector<TPartHeader> multiparts_;  // the open multiparts, outermost first
    std::string field_;                    // the header field being read, continuations joined
    // The line being read, when it has to be seen whole (a header or text line, a possible
    // delimiter): at most MaxLine + 2 bytes of it.
    std::string line_;
    bool lineLong_ = false;    // line_ lost bytes beyond its bound
    bool crLast_ = false;      // the last byte of the line read so far is a CR
    // A part read as bytes or passed over is in the middle of a line that is no delimiter.
    bool passing_ = false;
    bool crHeld_ = false;      // its last byte, a CR, waits for whether an LF follows
    std::string_view heldEnd_; // the line end of a part's last line, held until a line shows the part goes on
    bool linesCut_ = false;
    bool inBody_ = false;      // the mail's own header has ended
    bool bodyText_ = false;
    // The piece being fed, and the run of its bytes not yet handed on in one BodyBytes.
    std::string_view piece_;
    const char* runBegin_ = nullptr;
    std::size_t runSize_ = 0;
};

} // namespace pb
