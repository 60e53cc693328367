#include "app/Glyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPolygon>

namespace pb {
namespace {

// The classic 16-colour palette entries the pictures use.
const QColor kBlack(0, 0, 0);
const QColor kMaroon(128, 0, 0);
const QColor kOlive(128, 128, 0);
const QColor kNavy(0, 0, 128);
const QColor kGrey(128, 128, 128);
const QColor kSilver(192, 192, 192);
const QColor kRed(255, 0, 0);
const QColor kYellow(255, 255, 0);
const QColor kTeal(0, 128, 128);
const QColor kAqua(0, 255, 255);
const QColor kWhite(255, 255, 255);

// A sheet of paper with a folded corner, its left edge at x, spanning 10 x 14 pixels.
void sheet(QPainter& p, int x) {
    QPolygon outline({QPoint(x, 1), QPoint(x + 6, 1), QPoint(x + 9, 4), QPoint(x + 9, 14), QPoint(x, 14)});
    p.setPen(kBlack);
    p.setBrush(kWhite);
    p.drawPolygon(outline);
    p.drawLine(x + 6, 1, x + 6, 4);
    p.drawLine(x + 6, 4, x + 9, 4);
    p.setPen(kGrey);
    for (int y = 6; y <= 12; y += 2)
        p.drawLine(x + 2, y, x + 7, y);
}

// A red arrow pointing right, its shaft from x0 to the tip at x1, centred on row 7/8.
void arrowRight(QPainter& p, int x0, int x1) {
    p.setPen(kMaroon);
    p.setBrush(kRed);
    p.drawPolygon(QPolygon({QPoint(x0, 6), QPoint(x1 - 4, 6), QPoint(x1 - 4, 3), QPoint(x1, 7),
                            QPoint(x1, 8), QPoint(x1 - 4, 12), QPoint(x1 - 4, 9), QPoint(x0, 9)}));
}

void drawPoll(QPainter& p) {
    sheet(p, 2);
    // Lightning bolt: yellow body, red edge, striking down across the sheet.
    QPolygon bolt({QPoint(10, 0), QPoint(14, 0), QPoint(10, 6), QPoint(13, 6), QPoint(5, 15),
                   QPoint(7, 8), QPoint(4, 8)});
    p.setPen(kRed);
    p.setBrush(kYellow);
    p.drawPolygon(bolt);
}

void drawReceive(QPainter& p) {
    sheet(p, 6);
    arrowRight(p, 0, 10);
}

void drawSend(QPainter& p) {
    sheet(p, 0);
    arrowRight(p, 5, 15);
}

void drawQuickView(QPainter& p) {
    sheet(p, 0);
    // Magnifying glass over the sheet.
    p.setPen(kBlack);
    p.setBrush(kAqua);
    p.drawEllipse(5, 4, 7, 7);
    p.setPen(kWhite);
    p.drawPoint(7, 6);
    p.drawPoint(8, 6);
    p.drawPoint(7, 7);
    p.setPen(QPen(kOlive, 2));
    p.drawLine(12, 11, 14, 13);
    p.setPen(kMaroon);
    p.drawLine(11, 12, 13, 14);
}

void drawConfig(QPainter& p) {
    // Hammer from bottom left to top right: brown handle, steel head.
    p.setPen(QPen(kOlive, 2, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(2, 14, 10, 6);
    p.setPen(kBlack);
    p.setBrush(kSilver);
    p.drawPolygon(QPolygon({QPoint(7, 4), QPoint(11, 0), QPoint(15, 4), QPoint(11, 8)}));
    // Screwdriver across it: red handle top left, steel shaft to the bottom right.
    p.setPen(kMaroon);
    p.setBrush(kRed);
    p.drawPolygon(QPolygon({QPoint(1, 3), QPoint(3, 1), QPoint(7, 5), QPoint(5, 7)}));
    p.setPen(QPen(kNavy, 1));
    p.drawLine(7, 7, 13, 13);
    p.setPen(kTeal);
    p.drawLine(8, 7, 14, 13);
}

void drawCancel(QPainter& p) {
    // Exclamation mark behind a red prohibition sign.
    p.setPen(Qt::NoPen);
    p.setBrush(kBlack);
    p.drawRect(7, 3, 2, 7);
    p.drawRect(7, 11, 2, 2);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(kRed, 2));
    p.drawEllipse(1, 1, 13, 13);
    p.drawLine(4, 4, 11, 11);
}

void drawExit(QPainter& p) {
    // Door frame with a red door standing open towards the viewer.
    p.setPen(kBlack);
    p.setBrush(kNavy);
    p.drawRect(4, 1, 9, 14);
    p.setPen(kMaroon);
    p.setBrush(kRed);
    p.drawPolygon(QPolygon({QPoint(4, 1), QPoint(10, 3), QPoint(10, 15), QPoint(4, 15)}));
    p.setPen(kYellow);
    p.drawPoint(8, 9);
    p.drawPoint(8, 8);
}

} // namespace

QImage GlyphImage(Glyph glyph) {
    QImage img(16, 16, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, false);
    switch (glyph) {
    case Glyph::Poll: drawPoll(p); break;
    case Glyph::Receive: drawReceive(p); break;
    case Glyph::Send: drawSend(p); break;
    case Glyph::QuickView: drawQuickView(p); break;
    case Glyph::Config: drawConfig(p); break;
    case Glyph::Cancel: drawCancel(p); break;
    case Glyph::Exit: drawExit(p); break;
    }
    p.end();
    return img;
}

QImage DisabledGlyphImage(Glyph glyph) {
    // The classic disabled look: the picture's darker pixels in grey with a white highlight one
    // pixel below and to the right; light pixels (paper, highlights) drop out.
    const QImage src = GlyphImage(glyph);
    QImage out(16, 16, QImage::Format_ARGB32);
    out.fill(Qt::transparent);
    auto dark = [&](int x, int y) {
        QColor c = src.pixelColor(x, y);
        return c.alpha() > 0 && qGray(c.rgb()) < 192;
    };
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            if (dark(x, y) && x < 15 && y < 15)
                out.setPixelColor(x + 1, y + 1, kWhite);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            if (dark(x, y))
                out.setPixelColor(x, y, kGrey);
    return out;
}

QIcon GlyphIcon(Glyph glyph) {
    QIcon icon;
    icon.addPixmap(QPixmap::fromImage(GlyphImage(glyph)), QIcon::Normal);
    icon.addPixmap(QPixmap::fromImage(DisabledGlyphImage(glyph)), QIcon::Disabled);
    return icon;
}

} // namespace pb
