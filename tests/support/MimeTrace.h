#pragma once
// The events of the message reader written down as text, for the reader's table and its fuzz
// target: one line per event, so that two feeds of one mail can be compared as strings.
#include "mime/MimeReader.h"

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pb::test {

// Control characters escaped, runs of one character shortened to "c{n}".
inline std::string Shown(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        std::size_t run = 1;
        while (i + run < s.size() && s[i + run] == s[i])
            ++run;
        const char c = s[i];
        std::string one = c == '\r' ? "\\r" : c == '\n' ? "\\n" : c == '\t' ? "\\t" : std::string(1, c);
        if (static_cast<unsigned char>(c) < 0x20 && one.size() == 1)
            one = "\\x" + std::to_string(static_cast<unsigned char>(c));
        if (run >= 16) {
            out += one + "{" + std::to_string(run) + "}";
            i += run;
        } else {
            out += one;
            ++i;
        }
    }
    return out;
}

// The owner: answers by media type ("*" for any other) or by a rule, and writes the events
// down, one line each: adjacent BodyBytes of a part read as bytes joined (so that how the mail
// was cut into pieces cannot show), each line of a part read as lines on its own. Events out of
// order show as "!" lines.
class TTrace : public TMimeEvents {
public:
    std::vector<std::pair<std::string, TPartBody>> Answers;
    std::function<TPartBody(const TPartHeader&)> Rule;
    std::string Text;

    void HeaderLine(std::string_view Line) override { Add("H", Line); }
    void HeaderField(std::string_view Field, int Depth) override { Add("F" + std::to_string(Depth), Field); }
    TPartBody PartBegins(const TPartHeader& Part) override {
        TPartBody answer = Rule ? Rule(Part) : TPartBody::Lines;
        for (const auto& [type, body] : Answers)
            if (type == Part.Type || type == "*") {
                answer = body;
                break;
            }
        std::string shown = Part.Type;
        for (const auto& [key, value] : {std::pair{" charset=", Part.Charset}, {" enc=", Part.Encoding},
                                         {" name=", Part.Name()}, {" multipart=", Part.Multipart ? Part.Boundary : ""}})
            if (!value.empty())
                shown += key + value;
        if (Part.Attachment)
            shown += " attachment";
        if (Part.Depth != static_cast<int>(open_.size()) || ended_)
            Text += "! begins at depth " + std::to_string(Part.Depth) + "\n";
        Add("B" + std::to_string(Part.Depth), shown);
        if (answer == TPartBody::RestOfMail && !Part.Multipart)
            Add("R", Part.Delimiter + Part.RawHeader);
        // A multipart's answer is for its preamble.
        open_.push_back({Part.Depth, Part.Multipart && answer == TPartBody::RestOfMail ? TPartBody::Skip : answer});
        return answer;
    }
    void BodyBytes(std::string_view Bytes) override {
        if (open_.empty() || open_.back().second == TPartBody::Skip || ended_)
            Text += "! bytes outside a part\n";
        if (!open_.empty() && open_.back().second == TPartBody::Lines) {
            if (Bytes.find('\n') != std::string_view::npos || Bytes.size() > TMimeReader::MaxLine)
                Text += "! not one line\n";
            Add("L", Bytes);
        }
        else
            bytes_ += Bytes;
    }
    void PartEnds(const TPartHeader& Part) override {
        if (open_.empty() || open_.back().first != Part.Depth)
            Text += "! ends a part not open\n";
        else
            open_.pop_back();
        Add("E" + std::to_string(Part.Depth), Part.Type);
    }
    void MailEnds(bool Complete, bool LinesCut, bool) override {
        if (ended_ || (Complete && !open_.empty()))
            Text += "! ends with parts open\n";
        Add("M", std::string(Complete ? "end" : "abandoned") + (LinesCut ? " cut" : ""));
        ended_ = true;
    }
    void Reset() {
        Text.clear();
        open_.clear();
        ended_ = false;
    }

private:
    void Add(const std::string& Tag, std::string_view Value) {
        if (!bytes_.empty()) {
            Text += "D " + Shown(bytes_) + "\n";
            bytes_.clear();
        }
        Text += Tag + (Value.empty() ? "" : " " + Shown(Value)) + "\n";
    }
    std::vector<std::pair<int, TPartBody>> open_;   // depth and answer of the parts begun
    std::string bytes_;
    bool ended_ = false;
};

} // namespace pb::test
