// Start-up: the splash's timing by a clock the tests control, and the per-
// user settings store as the wizard loads and saves it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>
#include <QTimer>

#include "StartUp.h"
#include "gui/GuiTestSupport.h"
#include "support/TestFiles.h"

namespace tamarind {
namespace {

// A clock that moves only when the splash waits on it.
struct FakeClock {
  uint32_t now = 0;
  std::vector<uint32_t> waits;
  std::function<void()> onWait;
  SplashClock Clock() {
    return {[this] { return now; },
            [this](uint32_t ms) {
              waits.push_back(ms);
              if (onWait) onWait();
              now += ms;
            }};
  }
};

TEST(SplashTest, StandsTwoSecondsFromItsCreationAcrossTheTickWrap) {
  for (uint32_t start : {1000u, 0xFFFFFF00u}) {
    FakeClock clock;
    clock.now = start;
    TFm_Title splash(clock.Clock());
    EXPECT_EQ(splash.StartTick, start);
    EXPECT_EQ(splash.size(), QSize(300, 200));  // the picture's size, not the layout's
    clock.now += 500;
    splash.FormHide();
    EXPECT_EQ(clock.waits, std::vector<uint32_t>{1500}) << start;
    EXPECT_EQ(clock.now - start, 2000u);
  }
}

TEST(SplashTest, LateWizardHandlesWaitingEventsOnceAndGoes) {
  FakeClock clock;
  TFm_Title splash(clock.Clock());
  clock.now += 5000;  // the wizard took longer than the minimum
  bool handled = false;
  QTimer::singleShot(0, [&] { handled = true; });
  splash.FormHide();
  EXPECT_TRUE(handled);
  EXPECT_TRUE(clock.waits.empty());
}

TEST(SplashTest, WizardIsMadeBehindTheSplashAndShownOnlyAfterIt) {
  FreshStore store;
  FakeClock clock;
  bool splashUp = false, wizardMade = false, wizardShown = true;
  clock.onWait = [&] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (qobject_cast<TFm_Title*>(w)) splashUp = w->isVisible();
    }
    wizardMade = Fm_MainDialog != nullptr;
    wizardShown = wizardMade && Fm_MainDialog->isVisible();
  };
  MainProc engine;
  RecordingServices services;
  const std::unique_ptr<TFm_MainDialog> dialog = StartUp(engine, clock.Clock(), &services);
  EXPECT_TRUE(splashUp);
  EXPECT_TRUE(wizardMade);
  EXPECT_FALSE(wizardShown);
  EXPECT_EQ(clock.now, 2000u);
  for (QWidget* w : QApplication::topLevelWidgets()) EXPECT_FALSE(qobject_cast<TFm_Title*>(w));
  EXPECT_EQ(QApplication::applicationName(), "tamarind");
  Fm_MainDialog = nullptr;
}

// Qt's own dialogs speak Japanese once the program has started, though the
// tests' locale is not Japanese, and they keep Qt's own font: the wizard's
// fonts stay on the wizard's controls.
TEST(SplashTest, QtDialogsSpeakJapaneseInTheirOwnFont) {
  ASSERT_NE(QLocale::system().language(), QLocale::Japanese);
  FreshStore store;
  FakeClock clock;
  MainProc engine;
  RecordingServices services;
  const std::unique_ptr<TFm_MainDialog> dialog = StartUp(engine, clock.Clock(), &services);
  Fm_MainDialog = nullptr;
  dialog->show();
  const QFont plain = QApplication::font();
  EXPECT_EQ(QLocale().language(), QLocale::Japanese);  // the choosers' dates and sizes

  QMessageBox box(QMessageBox::Warning, "tamarind", "text", QMessageBox::Ok | QMessageBox::Cancel,
                  dialog.get());
  box.ensurePolished();
  EXPECT_EQ(box.button(QMessageBox::Cancel)->text(), "キャンセル");
  auto* text = box.findChild<QLabel*>("qt_msgbox_label");
  ASSERT_NE(text, nullptr);
  text->ensurePolished();
  EXPECT_EQ(text->font().family(), plain.family());
  EXPECT_EQ(text->font().pixelSize(), plain.pixelSize());

  QFileDialog chooser(dialog.get());
  chooser.setOption(QFileDialog::DontUseNativeDialog);
  chooser.ensurePolished();
  for (const char* name : {"lookInLabel", "fileNameLabel", "fileTypeLabel"}) {
    SCOPED_TRACE(name);
    auto* label = chooser.findChild<QLabel*>(name);
    ASSERT_NE(label, nullptr);
    label->ensurePolished();
    EXPECT_FALSE(label->text().contains(QRegularExpression("^[ -~]*$")))
        << label->text().toStdString();
    EXPECT_EQ(label->font().family(), plain.family());
    EXPECT_EQ(label->font().pixelSize(), plain.pixelSize());
  }

  // The wizard's own controls keep the layout's fonts.
  const struct {
    const char* control;
    const char* family;
    int pixels;
    bool bold;
  } fonts[] = {
      {"Lbl_Title", "ＭＳ Ｐゴシック", 21, true},
      {"Pnl_Title_Lbl1", "ＭＳ ゴシック", 16, false},
      {"Pnl_Title_Chk", "ＭＳ Ｐゴシック", 16, false},
      {"Pnl_File_Txt_Filename", "ＭＳ Ｐゴシック", 16, false},
      {"Pnl_File_Btn_View", "ＭＳ Ｐゴシック", 15, false},
      {"Pnl_Option_Lbl_AbsFolder", "ＭＳ Ｐゴシック", 15, true},
      {"Pnl_Option_Btn_AbsFolder", "ＭＳ Ｐゴシック", 12, false},
      {"Btn_Next", "ＭＳ Ｐゴシック", 13, false},
      {"Pnl_Title_Image1", "ＭＳ Ｐゴシック", 15, true},
  };
  for (const auto& f : fonts) {
    SCOPED_TRACE(f.control);
    auto* w = dialog->findChild<QWidget*>(f.control);
    ASSERT_NE(w, nullptr);
    w->ensurePolished();
    EXPECT_EQ(w->font().family(), QString::fromUtf8(f.family));
    EXPECT_EQ(w->font().pixelSize(), f.pixels);
    EXPECT_EQ(w->font().bold(), f.bold);
  }
}

}  // namespace
}  // namespace tamarind
