// The per-user settings store: the values the store holds, and the dialog's
// mapping of its controls and options onto them and back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include "Settings.h"
#include "gui/GuiTestSupport.h"
#include "support/TestFiles.h"

namespace tamarind {
namespace {

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

// A first start leaves nothing behind when it is cancelled: the store is
// made by 閉じる alone.
TEST_F(SettingsTest, FirstStartUsesDefaultsAndWritesNothingWhenCancelled) {
  const auto d = Open();
  EXPECT_EQ(d->CurrentPage(), kTitlePage);
  EXPECT_TRUE(Get<QCheckBox>(*d, "Pnl_File_Chk")->isChecked());
  EXPECT_FALSE(engine.options.AddALTAttribute);
  EXPECT_TRUE(engine.options.MakeBAKFile);
  const QString folder = Get<QLineEdit>(*d, "Pnl_Option_Txt_AbsFolder")->text();
  EXPECT_EQ(folder, DefaultAbsFolder());
  EXPECT_TRUE(QFileInfo(folder).isDir());  // the options page can be left as it is
  EXPECT_EQ(d->OpenDialogFolder(), QDir::currentPath());
  Click(*d, "Btn_Next");
  Click(*d, "Btn_Cancel");
  EXPECT_FALSE(QFileInfo::exists(SettingsFileName()));
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
  Store().setValue("MakeBAKFile", 1);  // saved at an earlier start
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

// The store alone: every value written comes back under its own name.
TEST(SettingsStore, EachValueComesBackUnderItsOwnName) {
  QTemporaryDir dir;
  const QString file = dir.filePath("store.ini");
  StoredSettings values;
  values.fileFolder = "/web/last";
  values.absFolder = "/var/www";
  values.showTitlePage = true;
  values.showOptionPage = false;
  values.addAlt = true;
  values.makeBak = false;
  values.overWrite = true;
  values.quoteWrite = false;
  values.moreFormats = true;
  {
    QSettings store(file, QSettings::IniFormat);
    WriteStoredSettings(store, values);
  }
  QSettings store(file, QSettings::IniFormat);
  EXPECT_EQ(store.value(setting::kFileFolder).toString(), "/web/last");
  EXPECT_EQ(store.value(setting::kAbsFolder).toString(), "/var/www");
  EXPECT_EQ(store.value(setting::kShowTitlePage).toString(), "1");
  EXPECT_EQ(store.value(setting::kShowOptionPage).toString(), "0");
  EXPECT_EQ(store.value(setting::kMoreFormats).toString(), "1");
  const StoredSettings read = ReadStoredSettings(store);
  EXPECT_EQ(read.fileFolder, values.fileFolder);
  EXPECT_EQ(read.absFolder, values.absFolder);
  EXPECT_EQ(read.showTitlePage, values.showTitlePage);
  EXPECT_EQ(read.showOptionPage, values.showOptionPage);
  EXPECT_EQ(read.addAlt, values.addAlt);
  EXPECT_EQ(read.makeBak, values.makeBak);
  EXPECT_EQ(read.overWrite, values.overWrite);
  EXPECT_EQ(read.quoteWrite, values.quoteWrite);
  EXPECT_EQ(read.moreFormats, values.moreFormats);
  EXPECT_TRUE(read.firstError.isEmpty());

  // What is not set is not written.
  QSettings empty(dir.filePath("empty.ini"), QSettings::IniFormat);
  WriteStoredSettings(empty, StoredSettings());
  EXPECT_TRUE(empty.allKeys().isEmpty());
}

// Through the dialog: one flag on at a time, the rest off, each folder a
// value of its own. Loading and saving must carry each value back to the
// name it came from, so two names swapped anywhere show.
TEST_F(SettingsTest, LoadAndSaveKeepEveryNameApart) {
  const char* const flags[] = {
      setting::kShowTitlePage, setting::kShowOptionPage, setting::kAddAlt,     setting::kMakeBak,
      setting::kOverWrite,     setting::kQuoteWrite,     setting::kMoreFormats};
  for (const char* on : flags) {
    SCOPED_TRACE(on);
    QFile::remove(SettingsFileName());
    {
      QSettings s = Store();
      for (const char* flag : flags) s.setValue(flag, flag == on ? 1 : 0);
      s.setValue(setting::kAbsFolder, "/abs/folder");
      s.setValue(setting::kFileFolder, "/last/folder");
    }
    const auto d = Open();
    Get<QLineEdit>(*d, "Pnl_File_Txt_Filename")->setText("/named/folder/page.html");
    d->SaveSettings();
    const StoredSettings read = ReadStoredSettings(Store());
    for (const char* flag : flags) {
      EXPECT_EQ(Store().value(flag).toString(), flag == on ? "1" : "0") << flag;
    }
    EXPECT_EQ(read.absFolder, QString("/abs/folder"));
    EXPECT_EQ(read.fileFolder, QString("/named/folder"));
  }
}

}  // namespace
}  // namespace tamarind
