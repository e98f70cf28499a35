#include "GeneralOption.h"

#include <QPushButton>

#include "ButtonStyle.h"
#include "probe/Formats.h"
#include "ui_GeneralOption.h"

namespace tamarind {

TFm_GeneralOption::TFm_GeneralOption(QWidget* parent)
    : QDialog(parent), ui(new Ui::TFm_GeneralOption) {
  setStyle(ButtonStyle::Instance());  // the focus and the default, told apart
  ui->setupUi(this);
  // The formats beyond GIF and JPEG, as the format table lists them.
  const std::string more = FormatList(ImageFormats::All(), "・", true, ImageFormats::Classic());
  ui->Chk_MoreFormats->setText(ui->Chk_MoreFormats->text().arg(QString::fromStdString(more)));
  // A small fixed dialog frame like the wizard's, modal over it.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(size());
  setModal(true);
  connect(ui->Btn_OK, &QPushButton::clicked, this, &QDialog::accept);
  connect(ui->Btn_Cancel, &QPushButton::clicked, this, &QDialog::reject);
  // The check box has the focus (Space ticks it), OK is the default (Enter).
  ui->Chk_MoreFormats->setFocus();
}

void TFm_GeneralOption::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // The focus is marked from the start, as on the wizard.
  setAttribute(Qt::WA_KeyboardFocusChange);
}

TFm_GeneralOption::~TFm_GeneralOption() {
  delete ui;
}

bool TFm_GeneralOption::MeasureMoreFormats() const {
  return ui->Chk_MoreFormats->isChecked();
}

void TFm_GeneralOption::SetMeasureMoreFormats(bool on) {
  ui->Chk_MoreFormats->setChecked(on);
}

}  // namespace tamarind
