#pragma once
// Base64 (MIME) and UUencode coder for mail attachments, stream to stream.
//
// The SMTP client encodes attachment files with it, the POP3 client decodes attachment parts
// with it. Both directions work through fixed-size buffers: memory use does not grow with the
// size of what is coded.
//
// Encoded text: lines of the bytes of 45 source bytes each, ended by CR LF. Base64 lines are 60
// characters ("=" fills the last group of the data); UUencode lines start with the count
// character and carry no fill, and the text ends with a line made of the count character for
// 0 (the grave accent). No "begin" or "end" lines and no header of any kind are written.
//
// Decoding reads line by line. A line ends at LF; a CR right before the LF belongs to the line
// end, not to the data; the last line may lack its LF; a line may be of any length.
//  - Base64: lines of 2 characters or fewer, and lines starting with "====", are skipped;
//    leading characters outside the alphabet are passed over, but a "=" (or CR) among them ends
//    decoding at once; junk between groups of four is skipped. A group whose third or fourth
//    character is "=" is the end of the data: decoding ends after its line. A group cut short by
//    the end of its line gives the bytes its characters carry.
//  - UUencode: the first character of a line is its byte count; a "begin mode name" line is not
//    data; the line whose count is 0 (a grave accent or a blank) ends the data. The line after it
//    must be "end", otherwise OnWarning hears " No end line." (decoding ends all the same).
//    Characters missing from a line shorter than its count count as 0.
// After decoding, the source position is just past the last line the decoder read.
//
// Stream failures (a read or write that the stream reports as bad) raise EStreamError.
#include "platform/Streams.h"

#include <functional>
#include <istream>
#include <ostream>
#include <string>

namespace pb {

enum class UUMethods { uuMime, uuCode };

class TUUProcessor {
public:
    using TNotifyEvent = std::function<void(TUUProcessor& Sender)>;

    UUMethods Method = UUMethods::uuMime;

    TNotifyEvent OnBeginEncode;
    TNotifyEvent OnEndEncode;
    TNotifyEvent OnBeginDecode;
    TNotifyEvent OnEndDecode;
    // Fires between the fixed-size windows of a long job: before each read of the source after
    // the first (every 64 KiB while decoding, every 45 KiB of source while encoding). A caller
    // that works in the window's thread keeps its event loop turning from here. The streams
    // must not be touched from it; an exception thrown by it ends the job and propagates.
    TNotifyEvent OnProgress;
    // What the decoder has to tell the user about its input (" No end line."): the owner shows
    // it, the coder itself shows nothing.
    std::function<void(const std::string& Text)> OnWarning;

    std::istream* SourceStream = nullptr;   // not owned
    std::ostream* TargetStream = nullptr;   // not owned

    // Encodes the whole SourceStream (from position 0; a stream that cannot seek from where it
    // is) onto TargetStream at its position. OnBeginEncode fires first; OnEndEncode fires last,
    // after TargetStream was set back to position 0 - also when a stream error ends the
    // encoding (the error then propagates).
    void Encode();

    // Decodes from SourceStream's position onto TargetStream at its position, by Method,
    // between OnBeginDecode and OnEndDecode. Stream errors propagate.
    void Decode();

private:
    void requireStreams() const;
};

} // namespace pb
