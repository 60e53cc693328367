#include "mime/MailMessage.h"

#include <algorithm>

namespace pb {

// --- TBodyText ------------------------------------------------------------------------------

bool TBodyText::inner(std::size_t crlf) const { return std::binary_search(inner_.begin(), inner_.end(), crlf); }

int TBodyText::Count() const {
    int n = 0;
    for (std::size_t p = 0; (p = text_.find("\r\n", p)) != std::string::npos; p += 2)
        n += inner(p) ? 0 : 1;
    return n;
}

std::vector<std::string> TBodyText::Lines() const {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t p = 0; (p = text_.find("\r\n", p)) != std::string::npos; p += 2) {
        if (inner(p))
            continue;
        lines.push_back(text_.substr(start, p - start));
        start = p + 2;
    }
    return lines;
}

void TBodyText::Add(std::string_view Line) {
    for (std::size_t p = 0; (p = Line.find("\r\n", p)) != std::string_view::npos; p += 2)
        inner_.push_back(text_.size() + p);
    text_ += Line;
    text_ += "\r\n";
}

bool TBodyText::AddText(std::string Text) {
    if (Text.empty())
        return false;
    if (text_.empty())
        text_ = std::move(Text);
    else
        text_ += Text;
    return CloseLine();
}

bool TBodyText::CloseLine() {
    if (text_.empty() || (text_.size() >= 2 && text_.compare(text_.size() - 2, 2, "\r\n") == 0))
        return false;
    text_ += "\r\n";
    return true;
}

void TBodyText::Insert(int Index, const std::vector<std::string>& Lines) {
    std::size_t at = 0;
    for (int n = 0; n < Index && at < text_.size();) {
        const std::size_t p = text_.find("\r\n", at);
        if (p == std::string::npos)
            break;
        at = p + 2;
        n += inner(p) ? 0 : 1;
    }
    TBodyText added;
    for (const std::string& line : Lines)
        added.Add(line);
    const std::size_t shift = added.text_.size();
    auto first = std::lower_bound(inner_.begin(), inner_.end(), at);
    for (auto i = first; i != inner_.end(); ++i)
        *i += shift;
    for (std::size_t& p : added.inner_)
        p += at;
    inner_.insert(first, added.inner_.begin(), added.inner_.end());
    text_.insert(at, added.text_);
}

void TBodyText::Clear() {
    std::string().swap(text_);
    inner_.clear();
}

std::size_t TBodyText::LeadingEmptyBytes() const {
    std::size_t p = 0;
    while (text_.compare(p, 2, "\r\n") == 0 && !inner(p))
        p += 2;
    return p;
}

// --- TMailMessage ---------------------------------------------------------------------------

void TMailMessage::Clear() {
    Head.Clear();
    Body.Clear();
    Attachments.Clear();
    Subject.clear();
    From.clear();
    MessageId.clear();
    TextCut = false;
    BodyEndsOpen = false;
    BodyHeldText = false;
    ParseLog.Clear();
}

bool TMailMessage::TextLost() const {
    return BodyHeldText && Attachments.Empty() &&
           Body.Text().find_first_not_of(" \t\r\n") == std::string::npos;
}

} // namespace pb
