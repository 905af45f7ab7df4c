#include "GlyphButton.h"

#include <QStyleOptionFocusRect>
#include <QStylePainter>

void GlyphButton::paintEvent(QPaintEvent* event) {
  QToolButton::paintEvent(event);
  if (!hasFocus()) return;
  QStylePainter painter(this);
  QStyleOptionFocusRect frame;
  frame.initFrom(this);
  frame.rect = rect().adjusted(1, 1, -1, -1);
  frame.backgroundColor = palette().color(QPalette::Button);
  painter.drawPrimitive(QStyle::PE_FrameFocusRect, frame);
}
