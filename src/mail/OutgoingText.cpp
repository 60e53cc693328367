#include "mail/OutgoingText.h"

#include "platform/AnsiText.h"

#include <algorithm>

namespace pb {
namespace {

bool found(const std::string& entry) { return entry != kRecipientNotFound; }

void addWrapped(std::string_view line, TStringList& Body) {
    while (line.size() > kBodyLineWidth && !IsQuoteLine(line)) {
        const std::size_t blank = line.substr(0, kBodyLineWidth).rfind(' ');
        if (blank != std::string_view::npos) {
            Body.Add(std::string(line.substr(0, blank)));
            line.remove_prefix(blank + 1);
        } else {
            Body.Add(std::string(line.substr(0, kBodyLineWidth)));
            line.remove_prefix(kBodyLineWidth);
        }
    }
    Body.Add(std::string(line));
}

} // namespace

bool IsQuoteLine(std::string_view Line) {
    return Line.substr(0, kQuoteMarkReach).find('>') != std::string_view::npos;
}

bool IsKludgeLine(std::string_view Line) {
    return !Line.empty() && Line[0] == '\x01';
}

bool IsToLine(std::string_view Line) {
    return Line.size() >= 3 && (Line[0] == 'T' || Line[0] == 't') && (Line[1] == 'O' || Line[1] == 'o') &&
           Line[2] == ':';
}

void PrepareBody(std::string_view Text, TStringList& Body) {
    Body.Clear();
    for (;;) {
        const std::size_t cr = Text.find('\r');
        std::string_view line = Text.substr(0, cr);
        if (!line.empty() && line[0] == '\n')
            line.remove_prefix(1);
        if (cr == std::string_view::npos) {
            // The text after the last CR; nothing after a final CR is no line at all, but an
            // empty text is one empty line.
            if (!Text.empty() || Body.Empty())
                addWrapped(line, Body);
            return;
        }
        addWrapped(line, Body);
        Text.remove_prefix(cr + 1);
        if (Text.empty())
            return;
    }
}

void DropHeadLines(TStringList& Body) {
    if (Body.Empty())
        return;
    Body.Delete(0);
    while (!Body.Empty() && IsKludgeLine(Body[0]))
        Body.Delete(0);
}

std::string ToLineName(std::string_view Line) {
    Line.remove_prefix(std::min<std::size_t>(3, Line.size()));
    while (!Line.empty() && Line[0] == ' ')
        Line.remove_prefix(1);
    return std::string(Line);
}

std::string ResolveToLine(std::string_view Line, const TAddressBook& Book) {
    return LookupRecipient(ToLineName(Line), Book);
}

void ResolveRecipients(TStringList& Body, std::string_view ToUserName, const TAddressBook& Book,
                       TStringList& ToAddress, const TLogFn& Log, const TPromptFn& Prompt) {
    if (!Body.Empty() && IsToLine(Body[0])) {
        const std::string first = ResolveToLine(Body[0], Book);
        if (found(first)) {
            ToAddress.Add(first);
            Body.Delete(0);
            while (!Body.Empty() && IsToLine(Body[0])) {
                const std::string more = ResolveToLine(Body[0], Book);
                if (found(more))
                    ToAddress.Add(more);
                else
                    Log(ansi("SMTP Unebkannter Empfänger"));
                Body.Delete(0);
            }
        } else {
            Log(ansi("SMTP Unebkannter Empfänger: ") + ToLineName(Body[0]));
            Body.Delete(0);
        }
    } else {
        // Only a text that does not name its recipients itself falls back on the host's
        // recipient name, and on the user.
        const std::string byName = LookupRecipient(ToUserName, Book);
        if (found(byName)) {
            ToAddress.Add(byName);
        } else if (Prompt) {
            for (std::string& entry : Prompt())
                ToAddress.Add(std::move(entry));
        }
    }
    for (const std::string& entry : ToAddress)
        Log("SMTP Sende Nachricht an: " + entry);
}

void DropLeadingEmptyLine(TStringList& Body) {
    if (!Body.Empty() && Body[0].empty())
        Body.Delete(0);
}

void StripQuoteInitials(TStringList& Body) {
    for (int i = 0; i < Body.Count(); ++i) {
        const std::size_t mark = Body[i].find('>');
        if (mark != std::string::npos && mark > 0 && mark < kQuoteMarkReach)
            Body.Put(i, Body[i].substr(mark));
    }
}

void PrepareOutgoing(std::string_view Text, std::string_view ToUserName, const TAddressBook& Book,
                     bool StripInitials, TStringList& Body, TStringList& ToAddress, const TLogFn& Log,
                     const TPromptFn& Prompt) {
    PrepareBody(Text, Body);
    DropHeadLines(Body);
    ResolveRecipients(Body, ToUserName, Book, ToAddress, Log, Prompt);
    DropLeadingEmptyLine(Body);
    if (StripInitials)
        StripQuoteInitials(Body);
}

} // namespace pb
