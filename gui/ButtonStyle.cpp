#include "ButtonStyle.h"

#include <QApplication>
#include <QPainter>
#include <QPen>
#include <QStyleOptionButton>

namespace tamarind {

ButtonStyle* ButtonStyle::Instance() {
  static ButtonStyle* style = [] {
    auto* made = new ButtonStyle(QApplication::style()->name());
    made->setParent(QCoreApplication::instance());  // goes with the application
    return made;
  }();
  return style;
}

void ButtonStyle::drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                              const QWidget* widget) const {
  const auto* button = qstyleoption_cast<const QStyleOptionButton*>(option);
  if (element != CE_PushButton || button == nullptr) {
    QProxyStyle::drawControl(element, option, painter, widget);
    return;
  }
  // The button as the style draws it without the focus: its frame says only
  // whether it is the default.
  QStyleOptionButton plain = *button;
  plain.state &= ~State_HasFocus;
  QProxyStyle::drawControl(element, &plain, painter, widget);
  // The focus, once the window shows it (from the start in the wizard): a
  // rectangle of dots, one pixel on, one off, inside the frame.
  if (!(button->state & State_HasFocus) || !(button->state & State_KeyboardFocusChange)) return;
  const QRect frame = subElementRect(SE_PushButtonFocusRect, button, widget).adjusted(2, 2, -2, -2);
  painter->save();
  QPen dots(button->palette.color(QPalette::ButtonText), 1);
  dots.setCosmetic(true);
  dots.setDashPattern({1, 1});
  painter->setPen(dots);
  painter->setBrush(Qt::NoBrush);
  painter->setRenderHint(QPainter::Antialiasing, false);
  painter->drawRect(frame.adjusted(0, 0, -1, -1));
  painter->restore();
}

}  // namespace tamarind
