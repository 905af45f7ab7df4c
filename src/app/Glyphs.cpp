#include "Glyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

namespace {

const QColor kBlue(0, 64, 200);
const QColor kRed(220, 0, 0);
const QColor kYellow(255, 220, 0);
const QColor kOutline(64, 64, 64);

void ring(QPainter& p, bool closed) {
  p.setPen(QPen(kBlue, 2.5, Qt::SolidLine, Qt::FlatCap));
  p.setBrush(Qt::NoBrush);
  const QRectF box(2.5, 2.5, 11, 11);
  if (closed) {
    p.drawEllipse(box);
  } else {
    // Two arcs, top and bottom, leaving gaps at left and right (angles in 1/16 degree).
    p.drawArc(box, 30 * 16, 120 * 16);
    p.drawArc(box, 210 * 16, 120 * 16);
  }
  p.setPen(Qt::NoPen);
  p.setBrush(kRed);
  p.drawRect(QRectF(6.5, 0.5, 3, 3.5));
  p.drawRect(QRectF(6.5, 12, 3, 3.5));
}

void plane(QPainter& p, const QColor& wing) {
  p.setPen(QPen(kOutline, 1));
  p.setBrush(Qt::white);
  p.drawPolygon(QPolygonF({{1, 8}, {15, 1.5}, {6, 10}}));
  p.setBrush(wing);
  p.drawPolygon(QPolygonF({{6, 10}, {15, 1.5}, {11, 14.5}}));
  p.setBrush(Qt::white);
  p.drawPolygon(QPolygonF({{6, 10}, {7, 14.5}, {8.5, 11.5}}));
}

void sign(QPainter& p, bool plus) {
  p.setPen(QPen(QColor(150, 110, 0), 1));
  p.setBrush(kYellow);
  p.drawRect(QRectF(2.5, 6.5, 11, 3));
  if (plus) {
    p.drawRect(QRectF(6.5, 2.5, 3, 11));
    p.setPen(Qt::NoPen);
    p.drawRect(QRectF(3, 7, 10, 2));
  }
}

void page(QPainter& p) {
  p.setPen(QPen(kOutline, 1));
  p.setBrush(Qt::white);
  p.drawPolygon(QPolygonF({{3.5, 1.5}, {10.5, 1.5}, {12.5, 3.5}, {12.5, 14.5}, {3.5, 14.5}}));
  p.setPen(QPen(QColor(0, 0, 128), 1));
  for (int y = 4; y <= 12; y += 2) p.drawLine(QPointF(5, y + 0.5), QPointF(y == 4 ? 9 : 11, y + 0.5));
}

void inTray(QPainter& p) {
  p.setPen(QPen(kOutline, 1));
  p.setBrush(Qt::white);
  p.drawRect(QRectF(4.5, 2.5, 7, 7));
  p.setPen(QPen(QColor(0, 0, 128), 1));
  p.drawLine(QPointF(6, 4.5), QPointF(10, 4.5));
  p.drawLine(QPointF(6, 6.5), QPointF(10, 6.5));
  p.setPen(QPen(kOutline, 1));
  p.setBrush(QColor(170, 120, 60));
  p.drawPolygon(
      QPolygonF({{1.5, 8.5}, {5, 8.5}, {6, 10.5}, {10, 10.5}, {11, 8.5}, {14.5, 8.5}, {14.5, 14.5}, {1.5, 14.5}}));
}

void pencil(QPainter& p) {
  p.setPen(QPen(kOutline, 1));
  p.setBrush(kYellow);
  p.drawPolygon(QPolygonF({{4, 14}, {2, 14}, {2, 12}, {11, 3}, {13, 5}}));
  p.setBrush(QColor(240, 150, 150));
  p.drawPolygon(QPolygonF({{11, 3}, {12.5, 1.5}, {14.5, 3.5}, {13, 5}}));
  p.setBrush(QColor(230, 200, 160));
  p.drawPolygon(QPolygonF({{2, 12}, {4, 14}, {1, 15}}));
}

void envelope(QPainter& p) {
  p.setPen(QPen(kOutline, 1));
  p.setBrush(Qt::white);
  p.drawRect(QRectF(1.5, 3.5, 13, 9));
  p.drawPolyline(QPolygonF({{1.5, 3.5}, {8, 9}, {14.5, 3.5}}));
}

}  // namespace

QPixmap DrawGlyph(Glyph glyph) {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  switch (glyph) {
    case Glyph::RingClosed:
      ring(p, true);
      break;
    case Glyph::RingOpen:
      ring(p, false);
      break;
    case Glyph::PlaneYellow:
      plane(p, kYellow);
      break;
    case Glyph::PlaneWhite:
      plane(p, Qt::white);
      break;
    case Glyph::Plus:
      sign(p, true);
      break;
    case Glyph::Minus:
      sign(p, false);
      break;
    case Glyph::Page:
      page(p);
      break;
    case Glyph::InTray:
      inTray(p);
      break;
    case Glyph::Pencil:
      pencil(p);
      break;
    case Glyph::Envelope:
      envelope(p);
      break;
  }
  return pixmap;
}

QIcon GlyphIcon(Glyph glyph) {
  return QIcon(DrawGlyph(glyph));
}

QList<QIcon> MakeImageList() {
  return {GlyphIcon(Glyph::RingClosed), GlyphIcon(Glyph::Page), GlyphIcon(Glyph::InTray), GlyphIcon(Glyph::Pencil),
          GlyphIcon(Glyph::Envelope)};
}
