#include "net/MultiLineReader.h"

#include "mime/ExStrings.h"

#include <utility>

namespace pb {
namespace {

// Every line of the answer that starts with a dot came with a second dot in front.
void Unstuff(std::string& line) {
    if (line.size() >= 2 && line[0] == '.' && line[1] == '.')
        line.erase(0, 1);
}

} // namespace

TMultiLineReader::TMultiLineReader(LineInto ReadLn, std::size_t MaxPiece)
    : readLn_(std::move(ReadLn)), maxPiece_(MaxPiece) {}

void TMultiLineReader::Begin() {
    ended_ = false;
    lineStart_ = true;
    pieceStart_ = true;
}

bool TMultiLineReader::NextPiece(std::string& Piece) {
    if (ended_) {
        Piece.clear();
        return false;
    }
    readLn_(Piece, maxPiece_);
    pieceStart_ = lineStart_;
    lineStart_ = !Piece.empty() && Piece.back() == '\n';
    if (!pieceStart_)
        return true;
    // A lone dot ends the answer, after CR LF or a bare LF alike.
    if (lineStart_ && WithoutLineEnd(Piece) == ".") {
        ended_ = true;
        Piece.clear();
        return false;
    }
    Unstuff(Piece);
    return true;
}

bool TMultiLineReader::NextLine(std::string& Line, bool& Cut) {
    if (!NextPiece(Line))
        return false;
    const bool start = pieceStart_;
    while (!lineStart_ && NextPiece(rest_))
        Cut = true;
    pieceStart_ = start;
    return true;
}

void TMultiLineReader::SkipRest() {
    while (NextPiece(rest_)) {
    }
}

} // namespace pb
