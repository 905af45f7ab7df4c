#pragma once
// The button pictures and the image list, drawn at 16 x 16 on a transparent ground.
#include <QIcon>
#include <QList>
#include <QPixmap>

enum class Glyph {
  RingClosed,   // connect: a closed blue ring, red marks at top and bottom
  RingOpen,     // disconnect: the ring opened at left and right
  PlaneYellow,  // reply: a paper plane with a yellow wing
  PlaneWhite,   // send: a white paper plane
  Plus,         // add: a yellow plus
  Minus,        // delete: a yellow minus
  Page,         // a page of text
  InTray,       // an in-tray
  Pencil,       // a pencil
  Envelope,     // a closed envelope
};

QPixmap DrawGlyph(Glyph glyph);
QIcon GlyphIcon(Glyph glyph);
// ImageList1: 0 the closed ring, 1 a page, 2 an in-tray, 3 a pencil, 4 an envelope.
QList<QIcon> MakeImageList();
