#pragma once
// The seven 16 x 16 button pictures of the main window, drawn here in the 16-colour palette
// of the classic Windows tool bars. Each comes in two states: the normal picture and a grey
// embossed one for a disabled button.
#include <QIcon>
#include <QImage>

namespace pb {

enum class Glyph { Poll, Receive, Send, QuickView, Config, Cancel, Exit };

QImage GlyphImage(Glyph glyph);            // normal picture, transparent background
QImage DisabledGlyphImage(Glyph glyph);    // grey picture for the disabled state
QIcon GlyphIcon(Glyph glyph);              // both pictures as Normal and Disabled modes

} // namespace pb
