#pragma once
// The two fonts of the program's windows. The layouts are fixed in pixels, so the fonts are
// fixed in pixels too (11 px, which is 8 point at 96 dpi) and do not grow with the screen's dpi.
#include <QFont>

namespace pb {

// Sans serif dialog font: Liberation Sans (Arial metrics) when installed, else DejaVu Sans.
QFont uiFont();
// Monospace font of the activity log: Liberation Mono (Courier New metrics), else DejaVu Sans Mono.
QFont logFont();

} // namespace pb
