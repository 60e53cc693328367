#pragma once
// TMailMessage: one retrieved mail as the retrieval run takes it over: the header lines, the
// subject, sender and message id, the body text in Windows-1252, and the names of the files
// its other parts were saved to.
//
// TMailAssembly: what builds a TMailMessage from the events a TMimeReader tells while the mail
// arrives (the body, the files and their names are the mail layer's business). The POP3
// component feeds the reader and hands the assembly what it knows of the session: where files
// go, the coder for attachments, its status line and its wish to keep the window turning.
#include "mime/ExStrings.h"
#include "mime/MimeReader.h"
#include "mime/UUCoder.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace pb {

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
    // The mail's body held more than blanks and line ends (its reader's word).
    bool BodyHeldText = false;
    // Activity log entries of the parse (Windows-1252 with their tag), in order.
    TStringList ParseLog;

    void Clear();
    // The body held text, and neither the body nor a file kept any of it: a mail whose structure
    // hid its content, to be kept as it came rather than stored empty.
    bool TextLost() const;
};

class TMailAssembly : public TMimeEvents {
public:
    using StatusSink = std::function<void(int Level, const std::string& Text)>;

    // The next mail goes into Mail (cleared by the caller) and its files under AttachFilePath
    // (a prefix: a folder with its "/"). Coder decodes the attachments, and its OnWarning tells
    // the user about their faults; Status hears what is being done ("Extracting file");
    // Turn is called every few milliseconds while a long part is decoded or converted.
    virtual void Begin(TMailMessage& Mail, const std::string& AttachFilePath, TUUProcessor& Coder,
                       StatusSink Status, std::function<void()> Turn) = 0;
    // A new session: the names files are saved under are looked for afresh (files may have
    // been removed from the folder since the last one).
    virtual void NewSession() = 0;
};

} // namespace pb
