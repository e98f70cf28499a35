#include "PageLabel.h"

#include <QPainter>
#include <QTextLayout>

namespace tamarind {
namespace {

// Lays out `text` in lines of `width`, each `step` pixels below the last;
// returns the number of lines.
int LayOut(QTextLayout& layout, qreal width, qreal step) {
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  layout.beginLayout();
  int lines = 0;
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(width);
    line.setPosition(QPointF(0, step * lines));
    ++lines;
  }
  layout.endLayout();
  return lines;
}

qreal LineStep(const QFont& font) {
  return font.pixelSize() > 0 ? font.pixelSize() : QFontMetricsF(font).height();
}

}  // namespace

int PageLabel::LineCount() const {
  QTextLayout layout(text(), font());
  return LayOut(layout, contentsRect().width(), LineStep(font()));
}

void PageLabel::paintEvent(QPaintEvent* event) {
  if (!wordWrap()) {
    QLabel::paintEvent(event);
    return;
  }
  QPainter painter(this);
  painter.setPen(
      palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, foregroundRole()));
  QTextLayout layout(text(), font());
  LayOut(layout, contentsRect().width(), LineStep(font()));
  layout.draw(&painter, contentsRect().topLeft());
}

}  // namespace tamarind
