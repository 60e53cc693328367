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
// innermost boundary is tried first. Multiparts nest to MaxDepth, deeper ones are read as one
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
    // A part's header is read. For a multipart the answer does not count: its parts follow,
    // each between its own PartBegins and PartEnds, before the multipart's PartEnds.
    virtual TPartBody PartBegins(const TPartHeader& Part) = 0;
    // Body bytes of the innermost part begun and not ended, as its answer asked.
    virtual void BodyBytes(std::string_view Bytes) = 0;
    virtual void PartEnds(const TPartHeader& Part) = 0;
    // The mail's bytes have ended. Complete: the whole mail came (End), and every part begun
    // has had its PartEnds. Not complete: the feed was broken off (Abandon), and the parts
    // still open get no PartEnds (the owner knows which it had begun and keeps or drops them).
    // LinesCut: a header or text line was longer than MaxLine and was cut.
    virtual void MailEnds(bool Complete, bool LinesCut) = 0;
};

class TMimeReader {
public:
    static constexpr std::size_t MaxLine = 1 << 20;
    static constexpr int MaxDepth = 32;
    static constexpr std::size_t MaxField = 64 * 1024;
    static constexpr std::size_t MaxPartHeader = 64 * 1024;

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
    TMimeEvents& events_;
    // The rest of the reader's state is its own (line being read, boundaries, open parts).
};

} // namespace pb
