#pragma once
// TMailAssembler: builds the TMailMessage of one retrieved mail from the events its reader tells
// while the mail arrives: the header lines, the subject, sender and message id, the body text
// in Windows-1252, and every other part as a file in AttachFilePath. One pass, the mail is
// never held whole: attachments go to disk as they arrive, text is kept up to the host's record
// size (a long text waits on disk until it is converted into the body).
//
// The body is the first text/plain part that is not an attachment; a multipart whose delimiter
// never comes is read as such a part, its preamble being all it holds (kept whole while it
// arrives, as it may be the whole mail). The other text alternatives
// of a multipart/alternative are not saved (they repeat the text); an HTML-only mail gets its
// text from the HTML, which is saved as well. Transfer encodings are undone and charsets
// converted into Windows-1252 per part (TPartDecoder). Every saved file gets a notice line in
// the body naming it as saved. At most MaxFiles files per mail: the rest of the mail goes into
// one last file "rest.eml". What had to be cut or could not be converted is said in ParseLog.
//
// A mail broken off while it arrived keeps the text that had come, and leaves no half file.
#include "mime/MailMessage.h"

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace pb {

class TPartDecoder;

class TMailAssembler final : public TMailAssembly {
public:
    TMailAssembler();
    ~TMailAssembler() override;
    TMailAssembler(const TMailAssembler&) = delete;
    TMailAssembler& operator=(const TMailAssembler&) = delete;

    static constexpr int MaxFiles = 100;
    // Most text bytes a mail keeps (the host's record holds no more).
    std::size_t MaxText;
    // A text part longer than this is kept on disk while it arrives.
    std::size_t TextInMemory = 1 << 20;
    // The pieces in which such a text is converted into the body.
    std::size_t TextPiece = 1 << 20;

    void Begin(TMailMessage& Mail, const std::string& AttachFilePath, TUUProcessor& Coder, StatusSink Status,
               std::function<void()> Turn) override;
    void NewSession() override { freeSuffix_.clear(); }

    void HeaderLine(std::string_view Line) override;
    void HeaderField(std::string_view Field, int Depth) override;
    TPartBody PartBegins(const TPartHeader& Part) override;
    void BodyBytes(std::string_view Bytes) override;
    void PartEnds(const TPartHeader& Part) override;
    void MailEnds(bool Complete, bool LinesCut, bool BodyHeldText) override;

    // The name an attachment may be written under: what follows the last "/" or "\", in UTF-8
    // (undeclared 8-bit bytes read as undeclared text is), without control characters and
    // without the characters that show nothing (Unicode format characters and line or
    // paragraph separators), cut on a UTF-8 character boundary to a length every file system
    // takes; "text.tmp" when that leaves nothing, "." or ".."; then made harmless
    // (harmlessFileName).
    static std::string SafeFileName(const std::string& Name);

private:
    // A file under a private name beside the attachments, removed unless it is taken over.
    struct PrivateFile {
        std::string name;
        std::ofstream out;
        void Write(std::string_view bytes);
        void Close();
        void Remove();
        ~PrivateFile() { Remove(); }
    };
    // What the bytes of the part being read go into.
    enum class Into { Nothing, Text, File, Rest };
    // A multipart being read. Once a text alternative of a multipart/alternative is taken (as
    // the body, the HTML text or a file), the others only repeat it.
    struct Multipart {
        bool used = false;
        int parent = -1;   // the enclosing alternative's index, -1 for none
        int alt = -1;      // the alternative its parts belong to: itself, the parent's, or none
    };

    TMailMessage& Mail();
    void Use(int alt);
    TPartBody StartFile(const TPartHeader& part, const char* defaultName, bool html);
    void SaveFile(const TPartHeader& part);
    void SaveRest();
    void Spill();
    void AddText();
    void AddSpilledText();
    void DecodeText(const TPartDecoder& decoder, std::istream& in, std::ostream& out);
    void ConvertText(const TPartDecoder& decoder, std::string& text);
    std::string UniqueName(const std::string& name);
    void Status(const char* text);
    void TextFromHtml();
    void DropPreamble();
    void TakePreamble();

    // Of the session.
    TMailMessage* mail_ = nullptr;
    std::string path_;
    TUUProcessor* coder_ = nullptr;
    StatusSink status_;
    std::function<void()> turn_;
    // Per folder, base name and extension: the lowest suffix not yet found taken this session.
    std::map<std::tuple<std::string, std::string, std::string>, int> freeSuffix_;

    // Per mail.
    std::vector<Multipart> multiparts_;
    Into into_ = Into::Nothing;
    bool bodyTaken_ = false;
    int files_ = 0;
    std::size_t textBytes_ = 0;
    std::size_t headBytes_ = 0;
    bool headNoted_ = false, charsetNoted_ = false;
    // The body part being read: its text, the file it goes on in when it grows long, and how
    // it is encoded.
    std::string text_;
    PrivateFile spilled_;
    std::string textEncoding_, textCharset_;
    // The multipart whose preamble is being kept as the body's text should no part of it come
    // (its index in multiparts_, -1 for none), and whether that text outgrew the record.
    int preamble_ = -1;
    std::size_t preambleBytes_ = 0;
    bool preambleOver_ = false;
    // The file part being read, in its private file; written in large pieces.
    PrivateFile temp_;
    std::string chunk_;
    std::uint64_t written_ = 0;
    std::string defaultName_;
    bool html_ = false;
    int htmlAtNow_ = -1;
    // "rest.eml", while it is written.
    PrivateFile rest_;
    // The first HTML part, whose text becomes the body should no plain text come: its file,
    // its charset and the body line where its text goes.
    bool htmlTaken_ = false;
    std::string htmlFile_;
    std::string htmlCharset_;
    int htmlAt_ = -1;
};

} // namespace pb
