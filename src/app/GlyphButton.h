#pragma once
// The flat picture buttons of the window. Auto-raised tool buttons draw no focus of their
// own; these add the focus frame the other controls show, so Tab can be followed by eye.
#include <QToolButton>

class GlyphButton : public QToolButton {
 public:
  using QToolButton::QToolButton;

 protected:
  void paintEvent(QPaintEvent* event) override;
};
