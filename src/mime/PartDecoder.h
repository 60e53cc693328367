#pragma once
// TPartDecoder: what the content of one MIME part stands for. It undoes the part's transfer
// encoding (base64, quoted-printable, x-uuencode; 7bit, 8bit, binary and unknown ones are the
// bytes as they are) and converts a text from the part's charset into Windows-1252. Every
// decoding of a part, into a file or into the text of a mail, goes through here.
//
// Decoding works stream to stream in fixed-size windows, so a part of any size costs the same
// memory. A long decoding calls back every few milliseconds (Turn), so that whoever waits on it
// can keep a window responsive; the decoder itself neither turns an event loop nor shows
// anything.
#include "mime/UUCoder.h"

#include <chrono>
#include <functional>
#include <istream>
#include <ostream>
#include <string>

namespace pb {

// Calls a function at most once per Interval, however often it is asked to.
class TTurns {
public:
    static constexpr auto Interval = std::chrono::milliseconds(10);
    explicit TTurns(std::function<void()> Turn) : turn_(std::move(Turn)) {}
    void operator()();

private:
    std::function<void()> turn_;
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

class TPartDecoder {
public:
    // Encoding as the part names it (any case); Charset as declared, empty for undeclared.
    TPartDecoder(std::string_view Encoding, std::string Charset);

    // The part's bytes are its content: nothing to decode.
    bool Transparent() const { return kind_ == Kind::None; }
    // The decoded text may end its lines in a bare LF or CR (base64 and uuencode carry any
    // bytes): its lines are to be found anew.
    bool AnyLineEnd() const { return kind_ == Kind::Coder; }

    // Undoes the transfer encoding from In onto Out. Base64 and uuencode go through Coder
    // (its own events fire, its streams are given back empty); Turn is called between the
    // windows; OnMalformed once per malformed quoted-printable escape. A quoted-printable text
    // that ends in a soft line break ends there, without a line end.
    void Decode(std::istream& In, std::ostream& Out, TUUProcessor& Coder, TTurns& Turn,
                const std::function<void()>& OnMalformed = {}) const;
    // Text in the part's charset into Windows-1252; false, the text unchanged, for a charset
    // that is not known.
    bool ToWindows1252(std::string& Text) const;
    const std::string& Charset() const { return charset_; }

private:
    enum class Kind { None, QuotedPrintable, Coder };
    Kind kind_ = Kind::None;
    UUMethods method_ = UUMethods::uuMime;
    std::string charset_;
};

} // namespace pb
