#pragma once
// TMultiLineReader: one multi-line answer of a POP3 server (RFC 1939, section 3) as it is read
// off the connection: the lines of a listing, of a header (TOP) or of a whole mail (RETR).
//
// Every way the client reads such an answer goes through here, so that the three rules hold
// alike for all of them: a line longer than a piece comes in pieces (no server can make a line
// grow without bound in memory), a line's leading dot that the server doubled is removed again,
// and the answer ends at the line that holds a lone dot. That line is taken from the connection
// and nothing after it: the next bytes belong to the next answer.
#include "mime/MimeReader.h"

#include <cstddef>
#include <functional>
#include <string>

namespace pb {

class TMultiLineReader final {
public:
    // Reads the next line of the connection with its line end, or the first MaxLength bytes of
    // a longer one (as TAsyncSocket::ReadLn does); raises what the connection raises.
    using LineInto = std::function<void(std::string& Line, std::size_t MaxLength)>;

    explicit TMultiLineReader(LineInto ReadLn, std::size_t MaxPiece = TMimeReader::MaxLine);

    // The first line of a new answer comes next.
    void Begin();
    // The next piece: a line with its line end, or a part of a longer line of at most MaxPiece
    // bytes (every part but the last without LF). False at the end line, and from then on
    // without reading.
    bool NextPiece(std::string& Piece);
    // The next line with its line end; of a longer line the first piece is kept and the rest is
    // read and passed over (Cut is then set). False at the end line, as NextPiece.
    bool NextLine(std::string& Line, bool& Cut);
    // Reads and passes over what is left of the answer, its end line included.
    void SkipRest();

    bool Ended() const { return ended_; }
    // The piece NextPiece gave last began a line.
    bool PieceStartsLine() const { return pieceStart_; }

private:
    LineInto readLn_;
    std::size_t maxPiece_;
    bool ended_ = false;
    bool lineStart_ = true;
    bool pieceStart_ = true;
    std::string rest_;   // the pieces of a cut line passed over
};

} // namespace pb
