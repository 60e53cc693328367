#include "mime/UUCoder.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace pb {
namespace {

constexpr char kMimeAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// UUencode: value 0 is the grave accent, values 1..63 are the characters 33..95.
constexpr char kUUAlphabet[] = "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_";

constexpr std::size_t kLineBytes = 45;          // source bytes per encoded line
constexpr std::size_t kLinesPerChunk = 1024;    // encoded per read of the source
// The decoder's line window and output buffer. Lines longer than the window are handled in
// pieces; a build may shrink the window to exercise that path.
#ifndef PB_UUCODER_WINDOW
#define PB_UUCODER_WINDOW (64 * 1024)
#endif
constexpr std::size_t kBufferSize = PB_UUCODER_WINDOW;
static_assert(kBufferSize >= 128, "a UUencode line's first piece must hold its count and 84 characters");

// Base64 value of each byte, -1 for characters outside the alphabet.
constexpr std::array<signed char, 256> makeMimeValues() {
    std::array<signed char, 256> t{};
    for (auto& v : t)
        v = -1;
    for (int i = 0; i < 64; ++i)
        t[static_cast<unsigned char>(kMimeAlphabet[i])] = static_cast<signed char>(i);
    return t;
}
constexpr auto kMimeValues = makeMimeValues();

// The same values already moved to their place in a group's 24 bits, one table per position;
// a character outside the alphabet sets bit 24, so one test of the four together finds it.
constexpr std::array<std::array<std::uint32_t, 256>, 4> makeGroupValues() {
    std::array<std::array<std::uint32_t, 256>, 4> t{};
    for (int k = 0; k < 4; ++k)
        for (int c = 0; c < 256; ++c)
            t[k][c] = kMimeValues[c] < 0 ? 1u << 24 : static_cast<std::uint32_t>(kMimeValues[c]) << (18 - 6 * k);
    return t;
}
constexpr auto kGroupValues = makeGroupValues();

void fire(const TUUProcessor::TNotifyEvent& event, TUUProcessor& sender) {
    if (event)
        event(sender);
}

// Reads until Count bytes arrived or the stream ended. The end of the stream leaves the stream
// usable (no fail state), so that it can still be repositioned.
std::size_t readFull(std::istream& s, void* buf, std::size_t count) {
    s.read(static_cast<char*>(buf), static_cast<std::streamsize>(count));
    auto got = static_cast<std::size_t>(s.gcount());
    if (s.bad())
        throw EStreamError("Stream read error");
    if (got < count)
        s.clear();
    return got;
}

void writeAll(std::ostream& s, const char* data, std::size_t count) {
    s.write(data, static_cast<std::streamsize>(count));
    if (!s)
        throw EStreamError("Stream write error");
}

// Moves a stream to Pos where it can; a stream that cannot seek stays where it is.
void seekTo(std::istream& s, std::streampos pos) {
    s.clear();
    if (pos != std::streampos(-1) && !s.seekg(pos))
        s.clear();
}
void seekTo(std::ostream& s, std::streampos pos) {
    if (!s.seekp(pos))
        s.clear();
}

// Encodes one line of up to 45 bytes at `out`; returns the end of what was written.
char* encodeLine(const unsigned char* in, std::size_t n, const char* alphabet, bool mime, char* out) {
    if (!mime)
        *out++ = alphabet[n];
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        unsigned v = unsigned(in[i]) << 16 | unsigned(in[i + 1]) << 8 | in[i + 2];
        out[0] = alphabet[v >> 18];
        out[1] = alphabet[(v >> 12) & 63];
        out[2] = alphabet[(v >> 6) & 63];
        out[3] = alphabet[v & 63];
        out += 4;
    }
    if (std::size_t rest = n - i) {
        unsigned v = unsigned(in[i]) << 16 | (rest == 2 ? unsigned(in[i + 1]) << 8 : 0u);
        *out++ = alphabet[v >> 18];
        *out++ = alphabet[(v >> 12) & 63];
        if (rest == 2)
            *out++ = alphabet[(v >> 6) & 63];
        if (mime) {
            *out++ = '=';
            if (rest == 1)
                *out++ = '=';
        }
    }
    *out++ = '\r';
    *out++ = '\n';
    return out;
}

// ---- decoding ------------------------------------------------------------------------------

// One stretch of a line. A line longer than the window arrives in several pieces; only the
// first has `first` set and only the last has `last` set (a short line is both at once).
struct Piece {
    const unsigned char* data;
    std::size_t len;
    bool first;
    bool last;
};

// Splits the source into lines through a fixed window, so that neither a huge line nor a huge
// stream needs more memory. Tracks how much of the source the lines handed out have consumed.
class LineReader {
public:
    LineReader(std::istream& source, const std::function<void()>& beforeRead)
        : src_(source), beforeRead_(beforeRead), base_(source.tellg()), buf_(kBufferSize) {}

    bool next(Piece& p) {
        p.first = !inLine_;
        for (;;) {
            if (auto* lf = static_cast<unsigned char*>(std::memchr(buf_.data() + head_, '\n', tail_ - head_))) {
                std::size_t end = static_cast<std::size_t>(lf - buf_.data());
                emit(p, end, true);
                head_ = end + 1;
                return true;
            }
            if (eof_) {
                if (head_ == tail_ && !inLine_)
                    return false;
                // The last line without LF: the rest is one line.
                emit(p, tail_, true);
                head_ = tail_;
                return true;
            }
            if (head_ > 0) {
                std::memmove(buf_.data(), buf_.data() + head_, tail_ - head_);
                tail_ -= head_;
                if (base_ != std::streampos(-1))
                    base_ += static_cast<std::streamoff>(head_);
                head_ = 0;
            }
            if (tail_ == buf_.size()) {
                // A line longer than the window: hand out what is here, keeping a final CR
                // back in case its LF comes with the next read.
                std::size_t len = buf_[tail_ - 1] == '\r' ? tail_ - 1 : tail_;
                p.data = buf_.data();
                p.len = len;
                p.last = false;
                head_ = len;
                inLine_ = true;
                return true;
            }
            if (reads_++ > 0)
                beforeRead_();
            std::size_t n = readFull(src_, buf_.data() + tail_, buf_.size() - tail_);
            if (n == 0)
                eof_ = true;
            tail_ += n;
        }
    }

    // Source position just past the last line (or piece) handed out; -1 for a stream that
    // cannot tell its position.
    std::streampos consumed() const {
        if (base_ == std::streampos(-1))
            return base_;
        return base_ + static_cast<std::streamoff>(head_);
    }

private:
    void emit(Piece& p, std::size_t end, bool last) {
        std::size_t len = end - head_;
        // CR LF ends a line; a bare LF does too, and then the byte before it is data.
        if (len > 0 && buf_[end - 1] == '\r')
            --len;
        p.data = buf_.data() + head_;
        p.len = len;
        p.last = last;
        inLine_ = !last;
    }

    std::istream& src_;
    const std::function<void()>& beforeRead_;
    std::size_t reads_ = 0;
    std::streampos base_;   // source position of buf_[0]
    std::vector<unsigned char> buf_;
    std::size_t head_ = 0, tail_ = 0;
    bool eof_ = false;
    bool inLine_ = false;
};

// Collects decoded bytes and hands them to the target stream in large writes.
class Output {
public:
    explicit Output(std::ostream& target) : dst_(target), buf_(kBufferSize) {}
    void room(std::size_t n) {
        if (len_ + n > buf_.size())
            flush();
    }
    void put(unsigned v) { buf_[len_++] = static_cast<char>(v); }
    // Room for n bytes (at most the buffer's size) to be written at the pointer returned, then
    // handed back with commit.
    char* reserve(std::size_t n) {
        room(n);
        return buf_.data() + len_;
    }
    void commit(const char* end) { len_ = static_cast<std::size_t>(end - buf_.data()); }
    void flush() {
        if (len_ > 0)
            writeAll(dst_, buf_.data(), len_);
        len_ = 0;
    }

private:
    std::ostream& dst_;
    std::vector<char> buf_;
    std::size_t len_ = 0;
};

enum class Verdict { Continue, Stop };

class MimeDecoder {
public:
    Verdict process(const Piece& p, Output& out) {
        if (p.first) {
            gn_ = 0;
            phase_ = Phase::Leading;
            if (p.last && p.len <= 2)
                phase_ = Phase::Skip;
            else if (p.len >= 4 && std::memcmp(p.data, "====", 4) == 0)
                phase_ = Phase::Skip;
        }
        std::size_t i = 0;
        if (phase_ == Phase::Leading)
            i = leading(p);
        if (phase_ == Phase::Data)
            data(p, i, out);
        if (!p.last)
            return Verdict::Continue;
        if (phase_ == Phase::Data && gn_ > 1)
            partialGroup(out);
        return stop_ ? Verdict::Stop : Verdict::Continue;
    }

private:
    enum class Phase { Leading, Data, Skip };

    static int value(unsigned char c) { return kMimeValues[c]; }

    // Passes over the characters before the first alphabet character.
    std::size_t leading(const Piece& p) {
        for (std::size_t i = 0; i < p.len; ++i) {
            unsigned char c = p.data[i];
            bool lastChar = p.last && i + 1 == p.len;
            if (lastChar) {
                // No alphabet character before the line's last character: nothing to decode.
                phase_ = Phase::Skip;
                return i;
            }
            if (value(c) >= 0) {
                phase_ = Phase::Data;
                return i;
            }
            if (c == '=' || c == '\r' || c == '\n') {
                // Fill before any data: the encoded text is over.
                stop_ = true;
                phase_ = Phase::Skip;
                return i;
            }
        }
        return p.len;
    }

    void data(const Piece& p, std::size_t i, Output& out) {
        const unsigned char* s = p.data;
        const std::size_t n = p.len;
        while (i < n) {
            if (gn_ == 0) {
                // Whole groups of alphabet characters, the common case, four at a time, straight
                // into the output buffer (a piece is never longer than that buffer).
                char* o = out.reserve((n - i) / 4 * 3);
                while (i + 4 <= n) {
                    const std::uint32_t v = kGroupValues[0][s[i]] | kGroupValues[1][s[i + 1]] |
                                            kGroupValues[2][s[i + 2]] | kGroupValues[3][s[i + 3]];
                    if (v >> 24)
                        break;
                    o[0] = static_cast<char>(v >> 16);
                    o[1] = static_cast<char>(v >> 8);
                    o[2] = static_cast<char>(v);
                    o += 3;
                    i += 4;
                }
                out.commit(o);
                if (i >= n)
                    break;
                if (value(s[i]) < 0) {   // junk between groups
                    ++i;
                    continue;
                }
            }
            // A group is the four characters from an alphabet character on, as they stand.
            while (gn_ < 4 && i < n)
                group_[gn_++] = s[i++];
            if (gn_ == 4) {
                fullGroup(out);
                gn_ = 0;
            }
        }
    }

    // Characters inside a group that are not in the alphabet carry the value 0.
    unsigned v(int k) const { return static_cast<unsigned>(std::max(value(group_[k]), 0)); }

    void fullGroup(Output& out) {
        out.room(3);
        out.put(v(0) << 2 | v(1) >> 4);
        if (group_[2] == '=') {
            stop_ = true;
            return;
        }
        out.put((v(1) << 4 | v(2) >> 2) & 0xFF);
        if (group_[3] == '=') {
            stop_ = true;
            return;
        }
        out.put((v(2) << 6 | v(3)) & 0xFF);
    }

    // The line ended inside a group: two or three characters still carry one or two bytes.
    void partialGroup(Output& out) {
        out.room(2);
        out.put(v(0) << 2 | v(1) >> 4);
        if (gn_ == 3) {
            if (group_[2] == '=')
                stop_ = true;
            else
                out.put((v(1) << 4 | v(2) >> 2) & 0xFF);
        }
        gn_ = 0;
    }

    Phase phase_ = Phase::Leading;
    unsigned char group_[4] = {};
    int gn_ = 0;
    bool stop_ = false;
};

class UUDecoder {
public:
    explicit UUDecoder(const std::function<void(const std::string&)>& warn) : warn_(warn) {}

    Verdict process(const Piece& p, Output& out) {
        // Only a line's first piece carries anything: a count covers at most 84 characters.
        if (!p.first)
            return Verdict::Continue;
        if (awaitingEnd_) {
            awaitingEnd_ = false;
            if (!(p.last && p.len == 3 && std::memcmp(p.data, "end", 3) == 0))
                complain(" No end line.");
            return Verdict::Stop;
        }
        if (p.len == 0)
            return Verdict::Continue;
        unsigned n = count(p.data[0]);
        if (n == 0) {
            // The zero-count line ends the data; the next line should be "end".
            awaitingEnd_ = true;
            return Verdict::Continue;
        }
        if ((p.last && p.len <= 2) || isBeginLine(p))
            return Verdict::Continue;
        std::size_t i = 1;
        out.room(n);
        while (n > 0) {
            unsigned c[4];
            for (std::size_t k = 0; k < 4; ++k)
                c[k] = i + k < p.len ? count(p.data[i + k]) : 0;
            out.put((c[0] << 2 | c[1] >> 4) & 0xFF);
            if (n >= 2)
                out.put((c[1] << 4 | c[2] >> 2) & 0xFF);
            if (n >= 3)
                out.put((c[2] << 6 | c[3]) & 0xFF);
            i += 4;
            n = n >= 3 ? n - 3 : 0;
        }
        return Verdict::Continue;
    }

    // The source ended: a zero-count line as the last line has no end line after it.
    void finish() {
        if (awaitingEnd_)
            complain(" No end line.");
        awaitingEnd_ = false;
    }

private:
    // Both the grave accent and the blank stand for 0.
    static unsigned count(unsigned char c) { return (c - 32u) & 63u; }

    // "begin", a blank, an octal file mode: the header line of a uuencoded file.
    static bool isBeginLine(const Piece& p) {
        return p.len >= 7 && std::memcmp(p.data, "begin ", 6) == 0 && p.data[6] >= '0' && p.data[6] <= '7';
    }

    void complain(const std::string& text) const {
        if (warn_)
            warn_(text);
    }

    const std::function<void(const std::string&)>& warn_;
    bool awaitingEnd_ = false;
};

template <typename Decoder>
void decodeLines(std::istream& source, std::ostream& target, Decoder& decoder,
                 const std::function<void()>& beforeRead) {
    LineReader lines(source, beforeRead);
    Output out(target);
    Piece p{};
    bool stopping = false;
    while (lines.next(p)) {
        if (!stopping && decoder.process(p, out) == Verdict::Stop)
            stopping = true;
        if (stopping && p.last)
            break;
    }
    out.flush();
    seekTo(source, lines.consumed());
}

} // namespace

void TUUProcessor::requireStreams() const {
    if (!SourceStream || !TargetStream)
        throw Exception("TUUProcessor needs a source and a target stream");
}

void TUUProcessor::Encode() {
    requireStreams();
    std::istream& source = *SourceStream;
    std::ostream& target = *TargetStream;
    seekTo(source, 0);
    fire(OnBeginEncode, *this);
    try {
        const bool mime = Method == UUMethods::uuMime;
        const char* alphabet = mime ? kMimeAlphabet : kUUAlphabet;
        std::vector<unsigned char> in(kLineBytes * kLinesPerChunk);
        std::vector<char> out((4 * kLineBytes / 3 + 3) * kLinesPerChunk);
        for (bool first = true;; first = false) {
            if (!first)
                fire(OnProgress, *this);
            std::size_t n = readFull(source, in.data(), in.size());
            if (n == 0)
                break;
            char* o = out.data();
            for (std::size_t i = 0; i < n; i += kLineBytes)
                o = encodeLine(in.data() + i, std::min(kLineBytes, n - i), alphabet, mime, o);
            writeAll(target, out.data(), static_cast<std::size_t>(o - out.data()));
            if (n < in.size())
                break;
        }
        if (!mime)
            writeAll(target, "`\r\n", 3);
    } catch (...) {
        seekTo(target, 0);
        fire(OnEndEncode, *this);
        throw;
    }
    seekTo(target, 0);
    fire(OnEndEncode, *this);
}

void TUUProcessor::Decode() {
    requireStreams();
    fire(OnBeginDecode, *this);
    const std::function<void()> progress = [this] { fire(OnProgress, *this); };
    if (Method == UUMethods::uuMime) {
        MimeDecoder decoder;
        decodeLines(*SourceStream, *TargetStream, decoder, progress);
    } else {
        UUDecoder decoder(OnWarning);
        decodeLines(*SourceStream, *TargetStream, decoder, progress);
        decoder.finish();
    }
    fire(OnEndDecode, *this);
}

} // namespace pb
