#include "mime/PartDecoder.h"

#include "mime/ExStrings.h"
#include "mime/MimeText.h"

#include <memory>
#include <utility>

namespace pb {
namespace {

// Quoted-printable in fixed-size windows; an escape cut by the end of a window waits for the
// next one, so the result equals decoding the whole text at once.
void decodeQuotedPrintable(std::istream& in, std::ostream& out, TTurns& turn,
                           const std::function<void()>& onMalformed) {
    std::string buf;
    // Left uninitialised: a short text, the common case, costs no clearing of the whole window.
    constexpr std::size_t Window = 64 * 1024;
    const std::unique_ptr<char[]> window(new char[Window]);
    for (;;) {
        turn();
        in.read(window.get(), static_cast<std::streamsize>(Window));
        const std::size_t n = static_cast<std::size_t>(in.gcount());
        buf.append(window.get(), n);
        const bool last = n == 0 || in.eof();
        std::size_t safe = buf.size();
        if (const std::size_t eq = buf.rfind('='); !last && eq != std::string::npos && eq + 3 > buf.size())
            safe = eq;
        // A soft line break at the very end (its line end went with the delimiter that ended the
        // part): the text ends there, without a line end.
        if (last && !buf.empty() && buf.back() == '=')
            safe = buf.size() - 1;
        std::string done = buf.substr(0, safe);
        DecodeQuotedPrintable(done, 0, onMalformed);
        if (!out.write(done.data(), static_cast<std::streamsize>(done.size())))
            throw EStreamError("Stream write error");
        buf.erase(0, safe);
        if (last)
            break;
    }
}

} // namespace

void TTurns::operator()() {
    if (!turn_ || std::chrono::steady_clock::now() - last_ < Interval)
        return;
    turn_();
    last_ = std::chrono::steady_clock::now();
}

TPartDecoder::TPartDecoder(std::string_view Encoding, std::string Charset) : charset_(std::move(Charset)) {
    const std::string enc = AsciiLower(Encoding);
    if (enc == "quoted-printable") {
        kind_ = Kind::QuotedPrintable;
    } else if (enc == "base64" || enc == "x-uuencode" || enc == "x-uue" || enc == "uuencode") {
        kind_ = Kind::Coder;
        method_ = enc == "base64" ? UUMethods::uuMime : UUMethods::uuCode;
    }
}

void TPartDecoder::Decode(std::istream& In, std::ostream& Out, TUUProcessor& Coder, TTurns& Turn,
                          const std::function<void()>& OnMalformed) const {
    if (kind_ == Kind::QuotedPrintable) {
        decodeQuotedPrintable(In, Out, Turn, OnMalformed);
        return;
    }
    if (In.peek() == std::char_traits<char>::eof())
        return;
    if (kind_ != Kind::Coder) {
        Out << In.rdbuf();
        return;
    }
    // The coder is lent: its streams and its owner's progress hook are given back as they were.
    struct Lend {
        TUUProcessor& c;
        TUUProcessor::TNotifyEvent progress;
        ~Lend() { c.SourceStream = nullptr, c.TargetStream = nullptr, c.OnProgress = std::move(progress); }
    } lend{Coder, Coder.OnProgress};
    Coder.Method = method_;
    Coder.SourceStream = &In;
    Coder.TargetStream = &Out;
    Coder.OnProgress = [&Turn, &own = lend.progress](TUUProcessor& sender) {
        if (own)
            own(sender);
        Turn();
    };
    Coder.Decode();
}

bool TPartDecoder::ToWindows1252(std::string& Text) const { return ConvertToWindows1252(Text, charset_); }

} // namespace pb
