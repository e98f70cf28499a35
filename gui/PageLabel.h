// PageLabel: the wrapped text of a wizard page.
#pragma once

#include <QLabel>

namespace tamarind {

// A label whose wrapped lines stand one font height apart, as the layout's
// Japanese fonts set them on the platform the layout was drawn for. Fonts of
// this system often add a pixel or two per line, which would push the last
// line of a label out of its box.
class PageLabel : public QLabel {
  Q_OBJECT

 public:
  using QLabel::QLabel;

  // How many lines the text takes at the label's width.
  int LineCount() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace tamarind
