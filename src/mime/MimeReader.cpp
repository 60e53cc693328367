#include "mime/MimeReader.h"

#include "mime/ExStrings.h"
#include "mime/MimeText.h"

#include <functional>

namespace pb {
namespace {

// Longest value kept of a Content-Type, boundary or encoding.
constexpr std::size_t MaxValue = 256;
// A line is seen whole up to this many bytes, its line end included; a longer one is cut (a
// header or text line) or handed on in pieces (a part read as bytes), and is never a delimiter.
constexpr std::size_t LineBound = TMimeReader::MaxLine + 2;

constexpr std::string_view CrLf = "\r\n";
constexpr std::string_view Lf = "\n";
constexpr std::string_view Cr = "\r";

// The line end a line has: CR LF, a bare LF, or none.
std::string_view LineEnd(std::string_view line) { return line.substr(WithoutLineEnd(line).size()); }

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

// What a header field says of the part, as far as its kind and name go.
void ApplyField(TPartHeader& part, std::string_view field) {
    const std::size_t colon = field.find(':');
    if (colon == std::string_view::npos)
        return;
    const std::string name = AsciiLower(Trim(field.substr(0, colon)));
    const std::string_view value = field.substr(colon + 1);
    if (name == "content-type") {
        const TMimeField f = ParseMimeField(value);
        bool valid = false;
        part.Type = mediaType(f, valid);
        // A boundary cut to a bound would never match its delimiters: one beyond it is none.
        const std::string boundary = f.Param("boundary");
        part.Boundary = boundary.size() <= TMimeReader::MaxBoundary ? boundary : std::string();
        // An invalid type is text/plain in US-ASCII: its 8-bit bytes are undeclared.
        part.Charset = valid ? f.Param("charset").substr(0, MaxValue) : std::string();
        part.TypeName = DecodeEncodedWords(f.Param("name").substr(0, MaxValue * 4), true);
    } else if (name == "content-transfer-encoding") {
        part.Encoding = AsciiLower(Trim(value)).substr(0, MaxValue);
    } else if (name == "content-disposition") {
        const TMimeField f = ParseMimeField(value);
        part.Attachment = f.Value == "attachment";
        part.FileName = DecodeEncodedWords(f.Param("filename").substr(0, MaxValue * 4), true);
    }
}

} // namespace

// A line as seen whole: its text (at most LineBound bytes of it), its line end, and whether
// more text came than was kept.
struct TMimeReader::TLine {
    std::string_view text;
    std::string_view end;
    bool tooLong = false;

    // The text as a header or text line keeps it.
    std::string_view kept() const { return text.substr(0, MaxLine); }
    bool cut() const { return tooLong || text.size() > MaxLine; }
};

TMimeReader::TMimeReader(TMimeEvents& Events) : events_(Events) { Begin(); }

TMimeReader::~TMimeReader() = default;

void TMimeReader::Begin() {
    state_ = TState::Header;
    part_ = TPartHeader();
    leafOpen_ = false;
    multiparts_.clear();
    field_.clear();
    line_.clear();
    // A megabyte line of the last mail is not kept for the next.
    if (line_.capacity() > 64 * 1024)
        std::string().swap(line_);
    lineLong_ = crLast_ = passing_ = crHeld_ = linesCut_ = inBody_ = bodyText_ = false;
    heldEnd_ = {};
    piece_ = {};
    runBegin_ = nullptr;
    runSize_ = 0;
}

void TMimeReader::Feed(std::string_view Bytes) {
    if (state_ == TState::Done || Bytes.empty())
        return;
    piece_ = Bytes;
    for (std::size_t pos = 0; pos < Bytes.size();) {
        if (state_ == TState::Rest) {
            NoteText(Bytes.substr(pos));
            Emit(Bytes.substr(pos));
            break;
        }
        const std::size_t lf = Bytes.find('\n', pos);
        const std::size_t end = lf == std::string_view::npos ? Bytes.size() : lf + 1;
        NoteText(Bytes.substr(pos, end - pos));
        Segment(Bytes.substr(pos, end - pos), lf != std::string_view::npos);
        pos = end;
    }
    FlushRun();
    // The piece's bytes are not kept past this call: a line end held from it becomes the
    // reader's own (the caller may fill its buffer with the next piece).
    piece_ = {};
    HoldEnd(heldEnd_);
}

// Seg: the next bytes of a line, up to and including its LF when Complete.
void TMimeReader::Segment(std::string_view Seg, bool Complete) {
    const bool body = state_ == TState::Bytes || state_ == TState::Skip;
    if (passing_) {
        PassOn(Seg, Complete);
        return;
    }
    // A line of a part read as bytes or passed over needs to be seen whole only while it may
    // still be a delimiter; any other is handed on (or passed over) as its bytes come.
    if (body && (!MayBeDelimiter(Seg) || line_.size() + Seg.size() > LineBound)) {
        StartContentLine();
        if (!line_.empty()) {
            PassOn(line_, false);
            line_.clear();
        }
        PassOn(Seg, Complete);
        return;
    }
    if (line_.empty() && !lineLong_ && Complete) {
        // The whole line is in the piece: it is looked at where it is.
        const std::string_view end = LineEnd(Seg);
        Take({Seg.substr(0, Seg.size() - end.size()), end, Seg.size() > LineBound});
        return;
    }
    const bool crBeforeLf = Complete && (Seg.size() >= 2 ? Seg[Seg.size() - 2] == '\r' : crLast_);
    if (line_.size() + Seg.size() > LineBound) {
        line_.append(Seg.substr(0, LineBound - line_.size()));
        lineLong_ = true;
    } else {
        line_ += Seg;
    }
    crLast_ = Seg.back() == '\r';
    if (!Complete)
        return;
    if (lineLong_)
        Take({line_, crBeforeLf ? CrLf : Lf, true});
    else {
        const std::string_view whole(line_);
        const std::string_view end = LineEnd(whole);
        Take({whole.substr(0, whole.size() - end.size()), end, false});
    }
    line_.clear();
    lineLong_ = crLast_ = false;
}

void TMimeReader::NoteText(std::string_view Bytes) {
    if (inBody_ && !bodyText_)
        bodyText_ = Bytes.find_first_not_of(" \t\r\n") != std::string_view::npos;
}

// A whole line, as the part being read takes it.
void TMimeReader::Take(const TLine& Line) {
    const TMatch match = Line.tooLong ? TMatch() : MatchDelimiter(Line.text);
    if (match.level >= 0) {
        TakeDelimiter(Line, match);
        return;
    }
    switch (state_) {
    case TState::Header:
        TakeHeaderLine(Line);
        break;
    case TState::Lines:
        linesCut_ = linesCut_ || Line.cut();
        events_.BodyBytes(Line.kept());
        break;
    case TState::Bytes:
        Emit(heldEnd_);
        Emit(Line.text);
        HoldEnd(Line.end);
        break;
    default:
        break;
    }
}

void TMimeReader::TakeHeaderLine(const TLine& Line) {
    const std::string_view line = Line.kept();
    linesCut_ = linesCut_ || Line.cut();
    if (part_.RawHeader.size() + line.size() + Line.end.size() <= MaxPartHeader) {
        part_.RawHeader += line;
        part_.RawHeader += Line.end;
    }
    if (part_.Depth == 0)
        events_.HeaderLine(line);
    if (line.empty()) {
        TakeField();
        BeginBody();
    } else if ((line[0] == ' ' || line[0] == '\t') && !field_.empty()) {
        if (field_.size() + line.size() <= MaxField)
            field_ += line;
    } else {
        TakeField();
        field_.assign(line.substr(0, MaxField));
    }
}

void TMimeReader::TakeField() {
    if (field_.empty())
        return;
    events_.HeaderField(field_, part_.Depth);
    ApplyField(part_, field_);
    field_.clear();
}

// The part's header has ended: a multipart's parts follow, any other part's body as its
// owner asks.
void TMimeReader::BeginBody() {
    if (part_.Depth == 0)
        inBody_ = true;
    const bool multipart = part_.Type.compare(0, 10, "multipart/") == 0;
    if (multipart && part_.Boundary.empty())
        part_.Type = "text/plain";   // no delimiter could end it: all of it is its text
    part_.Multipart = multipart && !part_.Boundary.empty() && part_.Depth < MaxDepth;
    const TPartBody answer = events_.PartBegins(part_);
    if (part_.Multipart) {
        multiparts_.push_back(std::move(part_));
        part_ = TPartHeader();
        // The preamble, as the owner asked.
        state_ = answer == TPartBody::Lines ? TState::Lines : answer == TPartBody::Bytes ? TState::Bytes : TState::Skip;
        return;
    }
    leafOpen_ = true;
    switch (answer) {
    case TPartBody::Lines:
        state_ = TState::Lines;
        break;
    case TPartBody::Bytes:
        state_ = TState::Bytes;
        break;
    case TPartBody::Skip:
        state_ = TState::Skip;
        break;
    case TPartBody::RestOfMail:
        state_ = TState::Rest;
        break;
    }
}

// A delimiter ends the part being read and every multipart inside the one it belongs to (the
// line end before it is its own, not the part's); it begins the next part's header, or, closing,
// that multipart's epilogue.
void TMimeReader::TakeDelimiter(const TLine& Line, TMatch Match) {
    FlushRun();
    heldEnd_ = {};
    if (state_ == TState::Header)
        TakeField();   // a header cut off: its part has no body and no events of its own
    else if (leafOpen_)
        events_.PartEnds(part_);
    leafOpen_ = false;
    const std::size_t level = static_cast<std::size_t>(Match.level);
    for (std::size_t n = multiparts_.size(); n > level + (Match.closing ? 0 : 1); --n) {
        events_.PartEnds(multiparts_.back());
        multiparts_.pop_back();
    }
    part_ = TPartHeader();
    if (Match.closing) {
        state_ = TState::Skip;
        return;
    }
    part_.Depth = Match.level + 1;
    part_.Delimiter.assign(Line.text);
    part_.Delimiter += Line.end;
    state_ = TState::Header;
}

// "--" boundary, or "--" boundary "--", blanks allowed after either. The innermost boundary
// is tried first: a boundary used again by a nested multipart is the nested one's.
TMimeReader::TMatch TMimeReader::MatchDelimiter(std::string_view Text) const {
    if (multiparts_.empty() || Text.size() < 2 || Text[0] != '-' || Text[1] != '-')
        return {};
    while (!Text.empty() && (Text.back() == '\n' || Text.back() == '\r'))
        Text.remove_suffix(1);
    for (std::size_t level = multiparts_.size(); level-- > 0;) {
        const std::string& b = multiparts_[level].Boundary;
        if (Text.size() < 2 + b.size() || Text.compare(2, b.size(), b) != 0)
            continue;
        std::string_view rest = Text.substr(2 + b.size());
        const bool closing = rest.substr(0, 2) == "--";
        if (closing)
            rest.remove_prefix(2);
        if (rest.find_first_not_of(" \t") == std::string_view::npos)
            return {static_cast<int>(level), closing};
    }
    return {};
}

// Whether the line begun in line_ and going on with Seg may still be a delimiter: it begins
// with "--" as far as it has come.
bool TMimeReader::MayBeDelimiter(std::string_view Seg) const {
    if (multiparts_.empty())
        return false;
    auto at = [&](std::size_t i) { return i < line_.size() ? line_[i] : Seg[i - line_.size()]; };
    const std::size_t size = line_.size() + Seg.size();
    return at(0) == '-' && (size < 2 || at(1) == '-');
}

// A line of a part is found to be no delimiter: the line end before it belongs to the part.
void TMimeReader::StartContentLine() {
    if (state_ == TState::Bytes)
        Emit(heldEnd_);
    heldEnd_ = {};
    passing_ = true;
}

// Bytes of a line that is no delimiter: handed on (Bytes) or passed over (Skip). The line's
// end is held, as a CR at the end of a segment may be the first half of one.
void TMimeReader::PassOn(std::string_view Seg, bool Complete) {
    if (Complete)
        passing_ = false;
    if (state_ != TState::Bytes)
        return;
    if (crHeld_) {
        crHeld_ = false;
        if (Seg == Lf) {
            HoldEnd(CrLf);
            return;
        }
        Emit(Cr);
    }
    if (Complete) {
        const std::string_view end = LineEnd(Seg);
        Emit(Seg.substr(0, Seg.size() - end.size()));
        HoldEnd(end);
    } else if (Seg.back() == '\r') {
        Emit(Seg.substr(0, Seg.size() - 1));
        crHeld_ = true;
    } else {
        Emit(Seg);
    }
}

// The held line end stays a view into the piece while the piece is being read (so that it
// joins the run of bytes handed on), and is the same line end of the reader's own otherwise.
void TMimeReader::HoldEnd(std::string_view End) {
    const std::less<const char*> before;
    const bool inPiece = !End.empty() && !before(End.data(), piece_.data()) &&
                         !before(piece_.data() + piece_.size(), End.data() + End.size());
    heldEnd_ = inPiece ? End : End.size() == 2 ? CrLf : End.size() == 1 ? Lf : std::string_view();
}

// Bytes of a part read as bytes. Consecutive bytes of the piece go on in one BodyBytes; others
// (the reader's own line, a held line end) at once.
void TMimeReader::Emit(std::string_view Bytes) {
    if (Bytes.empty())
        return;
    const std::less<const char*> before;
    const bool inPiece = !before(Bytes.data(), piece_.data()) &&
                         !before(piece_.data() + piece_.size(), Bytes.data() + Bytes.size());
    if (inPiece && runSize_ > 0 && runBegin_ + runSize_ == Bytes.data()) {
        runSize_ += Bytes.size();
        return;
    }
    FlushRun();
    if (!inPiece) {
        events_.BodyBytes(Bytes);
        return;
    }
    runBegin_ = Bytes.data();
    runSize_ = Bytes.size();
}

void TMimeReader::FlushRun() {
    if (runSize_ == 0)
        return;
    const std::string_view run(runBegin_, runSize_);
    runSize_ = 0;
    events_.BodyBytes(run);
}

// The mail's bytes have ended inside a line: at the end of the mail it is a line of its own
// (without a line end); broken off, what had come of it is handed on as it stands.
void TMimeReader::FinishLine(bool Abandoned) {
    if (passing_) {
        if (crHeld_ && state_ == TState::Bytes)
            Emit(Cr);
        passing_ = crHeld_ = false;
        return;
    }
    if (line_.empty() && !lineLong_)
        return;
    const TLine line{line_, {}, lineLong_};
    if (!Abandoned) {
        Take(line);
    } else if (state_ == TState::Header) {
        TakeHeaderLine(line);
    } else if (state_ == TState::Lines) {
        linesCut_ = linesCut_ || line.cut();
        events_.BodyBytes(line.kept());
    } else if (state_ == TState::Bytes) {
        Emit(heldEnd_);
        heldEnd_ = {};
        Emit(line_);
    }
    line_.clear();
    lineLong_ = crLast_ = false;
}

void TMimeReader::End() { Finish(true); }

void TMimeReader::Abandon() { Finish(false); }

// The end of the mail ends every part still open, innermost first; a feed broken off leaves them
// open. A part read as bytes keeps the line end of its last line either way.
void TMimeReader::Finish(bool Complete) {
    if (state_ == TState::Done)
        return;
    FinishLine(!Complete);
    if (state_ == TState::Bytes)
        Emit(heldEnd_);
    heldEnd_ = {};
    if (state_ == TState::Header)
        TakeField();
    if (Complete && leafOpen_)
        events_.PartEnds(part_);
    leafOpen_ = false;
    for (; !multiparts_.empty(); multiparts_.pop_back())
        if (Complete)
            events_.PartEnds(multiparts_.back());
    state_ = TState::Done;
    events_.MailEnds(Complete, linesCut_, bodyText_);
}

} // namespace pb
