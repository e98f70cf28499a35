// ButtonStyle: how the wizard's push buttons show the focus and the default.
#pragma once

#include <QProxyStyle>

namespace tamarind {

// The style the application uses, with one change to its push buttons: the
// button that has the focus shows a dotted focus rectangle inside its frame,
// and the default button (the one Enter presses) shows the style's default
// frame. Some styles (Fusion among them) draw the focus as the default frame,
// so that with the focus on Back and Next the default, two buttons would look
// alike and the user could not tell where Space goes and where Enter goes.
class ButtonStyle : public QProxyStyle {
  Q_OBJECT

 public:
  // The one instance, over the application's style; it lives as long as the
  // application. A window passes it to setStyle() before its style sheet is
  // set, so that its controls draw through it.
  static ButtonStyle* Instance();

  void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                   const QWidget* widget = nullptr) const override;

 private:
  explicit ButtonStyle(const QString& base) : QProxyStyle(base) {}
};

}  // namespace tamarind
