// GeneralOption: the wizard's general options, behind its オプション button.
//
// Options that belong to no page of the wizard. There is one: whether the
// pictures of every other format the engine reads are measured too, beside
// GIF and JPEG.
#pragma once

#include <QDialog>

namespace Ui {
class TFm_GeneralOption;
}

namespace tamarind {

class TFm_GeneralOption : public QDialog {
  Q_OBJECT

 public:
  explicit TFm_GeneralOption(QWidget* parent = nullptr);
  ~TFm_GeneralOption() override;

  // PNG, WebP, BMP, AVIF, SVG, JPEG XL and ICO pictures measured too.
  bool MeasureMoreFormats() const;
  void SetMeasureMoreFormats(bool on);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  Ui::TFm_GeneralOption* ui;
};

}  // namespace tamarind
