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
#include "engine/TestFiles.h"
#include "gui/GuiTestSupport.h"

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

TEST(SettingsNames, FolderOfTheLastFile) {
  EXPECT_EQ(FolderOfFileName("/web/index.html"), "/web");
  EXPECT_EQ(FolderOfFileName("/index.html"), "/");
  EXPECT_EQ(FolderOfFileName("index.html"), "");
  EXPECT_EQ(FolderOfFileName("web//index.html"), "web//");
}

class SettingsTest : public ::testing::Test {
 protected:
  std::unique_ptr<TFm_MainDialog> Open() {
    auto d = std::make_unique<TFm_MainDialog>(engine, &services);
    d->show();
    return d;
  }
  static QSettings Store() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Oxbellow", "tamarind");
  }
  template <typename T = QWidget>
  static T* Get(const TFm_MainDialog& d, const char* name) {
    return d.findChild<T*>(QString::fromLatin1(name));
  }
  static void Click(const TFm_MainDialog& d, const char* name) {
    QTest::mouseClick(Get<QPushButton>(d, name), Qt::LeftButton);
  }

  FreshStore fresh;
  test::TempDir dir;
  MainProc engine;
  RecordingServices services;
};

TEST_F(SettingsTest, FirstStartUsesDefaultsAndCreatesAnEmptyStore) {
  const auto d = Open();
  EXPECT_EQ(d->CurrentPage(), kTitlePage);
  EXPECT_TRUE(Get<QCheckBox>(*d, "Pnl_File_Chk")->isChecked());
  EXPECT_FALSE(engine.options.AddALTAttribute);
  EXPECT_TRUE(engine.options.MakeBAKFile);
  EXPECT_EQ(Get<QLineEdit>(*d, "Pnl_Option_Txt_AbsFolder")->text(), DefaultAbsFolder());
  EXPECT_EQ(d->OpenDialogFolder(), QDir::currentPath());
  EXPECT_TRUE(QFileInfo::exists(SettingsFileName()));
  EXPECT_TRUE(Store().allKeys().isEmpty());
}

TEST_F(SettingsTest, StoredValuesSetTheDialogAndCloseSavesThem) {
  {
    QSettings s = Store();
    s.setValue("SkipFirstPage", 0);
    s.setValue("SkipOptionPage", 0);
    s.setValue("AddALTAttribute", 7);  // any non-zero is on
    s.setValue("MakeBAKFile", 0);
    s.setValue("Parameter_QuoteWrite", 1);
    s.setValue("Parameter_ABSFolder", "");  // empty replaces the default
    s.setValue("FileForder", dir.Path().c_str());
  }
  dir.Write("a.gif", test::GifBytes(1, 2));
  const QString doc = QString::fromStdString(dir.Write("page.html", "<img src=a.gif>"));
  const auto d = Open();
  EXPECT_EQ(d->CurrentPage(), kFilePage);
  EXPECT_TRUE(Get<QCheckBox>(*d, "Pnl_Option_Chk_ALT")->isChecked());
  EXPECT_FALSE(Get<QCheckBox>(*d, "Pnl_Option_Chk_BAK")->isChecked());
  EXPECT_TRUE(Get<QCheckBox>(*d, "Pnl_Option_Chk_Quote")->isChecked());
  EXPECT_EQ(Get<QLineEdit>(*d, "Pnl_Option_Txt_AbsFolder")->text(), "");
  EXPECT_EQ(d->OpenDialogFolder(), QString::fromStdString(dir.Path()));

  Get<QLineEdit>(*d, "Pnl_File_Txt_Filename")->setText(doc);
  Click(*d, "Btn_Next");  // the options page is switched off: runs at once
  ASSERT_EQ(d->CurrentPage(), kResultPage);
  EXPECT_EQ(test::ReadFile(doc.toStdString()),
            "<img src=a.gif width=\"1\" height=\"2\" alt=\"a.gif\">");
  Click(*d, "Btn_Next");
  EXPECT_FALSE(d->isVisible());
  QSettings s = Store();
  EXPECT_EQ(s.value("AddALTAttribute").toString(), "1");  // written back as 1
  EXPECT_EQ(s.value("SkipFirstPage").toString(), "0");
  EXPECT_EQ(s.value("MakeBAKFile").toString(), "0");
  EXPECT_EQ(s.value("Parameter_OverWrite").toString(), "0");
  EXPECT_EQ(s.value("FileForder").toString(), QString::fromStdString(dir.Path()));
  EXPECT_EQ(s.value("Parameter_ABSFolder").toString(), "");
}

// The ninth value: off when absent, so that a first start measures GIF and
// JPEG only; the general options dialog opens with the stored state, and
// what it is left at is used by the run and saved with the rest.
TEST_F(SettingsTest, MoreFormatsGoFromTheStoreThroughTheDialogToTheRunAndBack) {
  const struct {
    const char* stored;  // nullptr: absent
    std::optional<bool> chosen;
    bool pngMeasured;
    const char* saved;
  } rows[] = {
      {nullptr, std::nullopt, false, "0"}, {"0", std::nullopt, false, "0"},
      {"1", std::nullopt, true, "1"},      {"7", std::nullopt, true, "1"},
      {nullptr, true, true, "1"},          {"1", false, false, "0"},
  };
  // A PNG header of 30 x 20: signature, then the image header chunk.
  const std::string png =
      std::string("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR", 16) + std::string("\0\0\0\x1E\0\0\0\x14", 8);
  dir.Write("a.png", png);
  dir.Write("a.gif", test::GifBytes(1, 2));
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << (row.stored ? row.stored : "absent") << " chosen "
                                    << (row.chosen ? int(*row.chosen) : -1));
    QFile::remove(SettingsFileName());
    if (row.stored != nullptr) Store().setValue(setting::kMoreFormats, row.stored);
    const QString doc =
        QString::fromStdString(dir.Write("page.html", "<img src=a.png><img src=a.gif>"));
    services.optionStarts.clear();
    services.optionAnswer = row.chosen;
    const auto d = Open();
    Click(*d, "Btn_Option");
    EXPECT_EQ(services.optionStarts,
              QList<bool>{row.stored != nullptr && QString(row.stored) != "0"});
    Get<QLineEdit>(*d, "Pnl_File_Txt_Filename")->setText(doc);
    Click(*d, "Btn_Next");
    Click(*d, "Btn_Next");
    Click(*d, "Btn_Next");
    ASSERT_EQ(d->CurrentPage(), kResultPage);
    EXPECT_EQ(
        test::ReadFile(doc.toStdString()),
        std::string(row.pngMeasured ? "<img src=a.png width=30 height=20>" : "<img src=a.png>") +
            "<img src=a.gif width=1 height=2>");
    Click(*d, "Btn_Next");
    EXPECT_EQ(Store().value(setting::kMoreFormats).toString(), row.saved);
  }
}

TEST_F(SettingsTest, CancelSavesNothing) {
  Store().setValue("MakeBAKFile", 1);
  for (int page = 0; page < 2; ++page) {
    const auto d = Open();
    Get<QCheckBox>(*d, "Pnl_Title_Chk")->setChecked(false);
    Get<QCheckBox>(*d, "Pnl_Option_Chk_BAK")->setChecked(false);
    if (page == 1) Click(*d, "Btn_Next");
    Click(*d, "Btn_Cancel");
    EXPECT_EQ(Store().allKeys(), QStringList{"MakeBAKFile"});
  }
}

TEST_F(SettingsTest, FaultyValueIsSkippedAndReportedOnceTheDialogShows) {
  {
    QSettings s = Store();
    s.setValue("SkipFirstPage", "yes");
    s.setValue("SkipOptionPage", "4294967296");  // beyond 32 bits
    s.setValue("Parameter_OverWrite", 1);
  }
  const auto d = Open();
  EXPECT_EQ(d->CurrentPage(), kTitlePage);          // the faulty value was skipped
  EXPECT_TRUE(engine.options.Parameter_OverWrite);  // the rest still loaded
  QTRY_COMPARE(services.errors, QStringList{"'SkipFirstPage' のデータ型が不正です."});

  Store().setValue("SkipFirstPage", 1);
  services.errors.clear();
  const auto again = Open();
  QTRY_COMPARE(services.errors, QStringList{"'SkipOptionPage' の取得に失敗しました."});
}

TEST_F(SettingsTest, StoreThatCannotBeWrittenKeepsTheResultPage) {
  dir.Write("page.html", "text");
  const auto d = Open();
  Get<QLineEdit>(*d, "Pnl_File_Txt_Filename")->setText(QString::fromStdString(dir / "page.html"));
  Click(*d, "Btn_Next");
  Click(*d, "Btn_Next");
  Click(*d, "Btn_Next");
  ASSERT_EQ(d->CurrentPage(), kResultPage);
  // The store is replaced through a new file in its folder; a folder that
  // takes no new files stops that, for root too.
  const QByteArray folder = QFile::encodeName(QFileInfo(SettingsFileName()).absolutePath());
  const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY);
  int flags = 0;
  if (fd < 0 || ::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0 ||
      (flags |= FS_IMMUTABLE_FL, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0)) {
    if (fd >= 0) ::close(fd);
    GTEST_SKIP() << "the immutable attribute is not available here";
  }
  Click(*d, "Btn_Next");
  flags &= ~FS_IMMUTABLE_FL;
  ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
  ::close(fd);
  EXPECT_EQ(services.errors, QStringList{"'FileForder' の設定に失敗しました."});
  EXPECT_TRUE(d->isVisible());
  EXPECT_EQ(d->CurrentPage(), kResultPage);
}

}  // namespace
}  // namespace tamarind
