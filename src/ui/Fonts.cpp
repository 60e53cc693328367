#include "ui/Fonts.h"

#include <QFontDatabase>
#include <QStringList>

namespace pb {
namespace {

QFont firstInstalled(const QStringList& families, QFont::StyleHint hint) {
    QFont f;
    const QStringList installed = QFontDatabase::families();
    for (const QString& name : families) {
        if (installed.contains(name, Qt::CaseInsensitive)) {
            f.setFamily(name);
            break;
        }
    }
    f.setStyleHint(hint);
    f.setPixelSize(11);
    return f;
}

} // namespace

QFont uiFont() {
    static const QFont f = firstInstalled({"Liberation Sans", "Arimo", "DejaVu Sans"}, QFont::SansSerif);
    return f;
}

QFont logFont() {
    static const QFont f = firstInstalled({"Liberation Mono", "Cousine", "DejaVu Sans Mono"}, QFont::Monospace);
    return f;
}

} // namespace pb
