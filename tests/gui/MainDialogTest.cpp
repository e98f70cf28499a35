// The wizard driven through its own buttons on an offscreen screen, with the
// desktop's boxes and choosers replaced by a recorder, over real files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDropEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <semaphore>

#include "GeneralOption.h"
#include "MainDialog.h"
#include "PageLabel.h"
#include "Settings.h"
#include "gui/GuiTestSupport.h"
#include "support/TestFiles.h"

namespace tamarind {
namespace {

using test::ReadFile;

// What each page shows: title, Back enabled, Next's text, its panel, drops.
const struct PageLook {
  const char* title;
  bool back;
  const char *next, *panel;
  bool drops;
} kPages[] = {
    {"ようこそ", false, "次へ >", "Pnl_Title", false},
    {"ファイルの選択", true, "次へ >", "Pnl_File", true},
    {"オプションの設定", true, "次へ >", "Pnl_Option", false},
    {"処理を完了しました", false, "閉じる", "Pnl_Result", false},
};

void ExpectPage(const TFm_MainDialog& d, int page) {
  SCOPED_TRACE(testing::Message() << "page " << page);
  const PageLook& look = kPages[page];
  EXPECT_EQ(d.CurrentPage(), page);
  EXPECT_EQ(d.findChild<QLabel*>("Lbl_Title")->text(), QString::fromUtf8(look.title));
  EXPECT_EQ(d.findChild<QWidget*>("Btn_Back")->isEnabled(), look.back);
  EXPECT_EQ(d.findChild<QPushButton*>("Btn_Next")->text(), QString::fromUtf8(look.next));
  for (const PageLook& other : kPages) {
    EXPECT_EQ(d.findChild<QWidget*>(other.panel)->isVisible(), &other == &look) << other.panel;
  }
  EXPECT_EQ(d.acceptDrops(), look.drops);
  // The general options are at hand on every page.
  const auto* option = d.findChild<QPushButton*>("Btn_Option");
  EXPECT_TRUE(option->isVisible() && option->isEnabled());
}

const char kPlainDoc[] = "<img src=a.gif>";
const char kSizedDoc[] = "<img src=a.gif width=120 height=45>";

class MainDialogTest : public ::testing::Test {
 protected:
  MainDialogTest() { dialog.show(); }

  template <typename T = QWidget>
  T* Get(const char* name) {
    return dialog.findChild<T*>(QString::fromLatin1(name));
  }
  void Click(const char* name) { QTest::mouseClick(Get<QPushButton>(name), Qt::LeftButton); }
  void ExpectPage(int page) { tamarind::ExpectPage(dialog, page); }
  void SetName(const QString& name) { Get<QLineEdit>("Pnl_File_Txt_Filename")->setText(name); }
  QString Name() { return Get<QLineEdit>("Pnl_File_Txt_Filename")->text(); }
  std::string Doc() { return ReadFile(doc.toStdString()); }
  void Check(const char* box, bool on) { Get<QCheckBox>(box)->setChecked(on); }

  // Walks forward from the title page with the fixture's document.
  void GoTo(int page) {
    if (page >= 1) Click("Btn_Next");
    if (page >= 2) SetName(doc), Click("Btn_Next");
    if (page >= 3) Click("Btn_Next");
  }

  FreshStore store;
  test::TempDir dir;
  const std::string gif = dir.Write("a.gif", test::GifBytes(120, 45));
  const QString doc = QString::fromStdString(dir.Write("index.html", kPlainDoc));
  MainProc engine;
  RecordingServices services;
  TFm_MainDialog dialog{engine, &services};
};

TEST_F(MainDialogTest, WalksForwardAndBackKeepingTheChoices) {
  ExpectPage(0);
  Click("Btn_Back");  // disabled here
  ExpectPage(0);
  GoTo(1);
  ExpectPage(1);
  SetName(doc);
  Click("Btn_Back");
  ExpectPage(0);
  Click("Btn_Next");
  Click("Btn_Next");
  ExpectPage(2);
  Click("Btn_Back");
  ExpectPage(1);
  EXPECT_EQ(Name(), doc);  // the choices stay when going back
  Click("Btn_Next");
  Click("Btn_Next");
  ExpectPage(3);
  EXPECT_EQ(Doc(), kSizedDoc);
  Click("Btn_Back");  // one run per start: there is no way back
  ExpectPage(3);
  Click("Btn_Next");
  EXPECT_FALSE(dialog.isVisible());
}

TEST_F(MainDialogTest, OpensOnTheFilePageWhenTheTitlePageIsSwitchedOff) {
  QSettings(SettingsFileName(), QSettings::IniFormat).setValue(setting::kShowTitlePage, 0);
  TFm_MainDialog second(engine, &services);
  second.show();
  tamarind::ExpectPage(second, kFilePage);
  second.Btn_BackClick();
  tamarind::ExpectPage(second, kTitlePage);
}

TEST_F(MainDialogTest, FilePageWarnsAboutNamesThatAreNoFile) {
  const QString folder = QString::fromStdString(dir.Path()), missing = folder + "/missing.html";
  const QString notFound = "\" というファイルが見つかりません。";
  const struct {
    QString name, warning;
  } rows[] = {
      {"", "処理を行うファイルの名前を入力してください。"},
      {"   ", "\"   " + notFound},
      {folder, '"' + folder + notFound},
      {missing, '"' + missing + notFound},
  };
  GoTo(1);
  auto* box = Get<QLineEdit>("Pnl_File_Txt_Filename");
  for (const auto& row : rows) {
    services.warnings.clear();
    SetName(row.name);
    Click("Btn_Next");
    EXPECT_EQ(services.warnings, QStringList{row.warning});
    ExpectPage(1);
    // The keys go to the name again, typing replacing it.
    EXPECT_EQ(dialog.focusWidget(), box);
    EXPECT_EQ(box->selectedText(), row.name);
  }
  EXPECT_EQ(Doc(), kPlainDoc);
}

// Leaving the options page, the folder box must name a folder, or be empty:
// the file system's own root, so that src=/web/a.gif is the file /web/a.gif.
// Else the warning, the page stays, and the keys go to the box. With the
// options page skipped, the warning brings that page up.
TEST_F(MainDialogTest, OptionPageWarnsAboutAFolderThatIsNotThere) {
  const QString missing = QString::fromStdString(dir / "gone");
  const QString notFound = "\" というフォルダが見つかりません。";
  dir.Write("index.html", "<img src=" + gif + ">");
  GoTo(2);
  auto* box = Get<QLineEdit>("Pnl_Option_Txt_AbsFolder");
  for (const QString& folder : {missing, QString::fromStdString(gif), QString("   ")}) {
    services.warnings.clear();
    box->setText(folder);
    Click("Btn_Next");
    EXPECT_EQ(services.warnings, QStringList{'"' + folder + notFound});
    ExpectPage(kOptionPage);
    EXPECT_EQ(dialog.focusWidget(), box);
    EXPECT_EQ(box->selectedText(), folder);
  }
  box->setText(missing);
  Click("Btn_Back");  // going back is never stopped
  Check("Pnl_File_Chk", false);
  services.warnings.clear();
  Click("Btn_Next");
  EXPECT_EQ(services.warnings, QStringList{'"' + missing + notFound});
  ExpectPage(kOptionPage);
  EXPECT_EQ(dialog.focusWidget(), box);
  EXPECT_EQ(Doc(), "<img src=" + gif + ">");
  box->clear();
  Click("Btn_Next");
  ExpectPage(kResultPage);
  EXPECT_EQ(Doc(), "<img src=" + gif + " width=120 height=45>");
}

const struct {
  int tags;
  const char* text;
} kCounts[] = {
    {0, "このファイルには、処理の対象になるタグはありませんでした"},
    {1, "　1個のタグに処理を行いました。"},
    {12, "　12個のタグに処理を行いました。"},
    // Too long for one line: broken after the count's phrase, not in a word.
    {123456, "　123456個のタグに\u2028処理を行いました。"},
};
// Parameterised cases are named by what they stand for, not by an index.
std::string PageName(int page) {
  static const char* const kNames[] = {"TitlePage", "FilePage", "OptionPage", "ResultPage"};
  return page >= 0 && page < 4 ? kNames[page] : "Page" + std::to_string(page);
}
std::string PageParamName(const ::testing::TestParamInfo<int>& row) {
  return PageName(row.param);
}
std::string CountName(const ::testing::TestParamInfo<int>& row) {
  static const char* const kNames[] = {"Zero", "One", "Twelve", "SixDigits"};
  return kNames[row.param];
}
std::string StartName(const ::testing::TestParamInfo<bool>& row) {
  return row.param ? "OptionPage" : "FilePage";
}

class MainDialogCountTest : public MainDialogTest, public ::testing::WithParamInterface<int> {};

TEST_P(MainDialogCountTest, ResultTellsHowManyTagsChanged) {
  std::string page = "<p><img src=a.gif width=1 height=2>";  // sized already: unchanged
  for (int i = 0; i < kCounts[GetParam()].tags; ++i) page += kPlainDoc;
  dir.Write("index.html", page);
  GoTo(3);
  ExpectPage(3);
  const auto* result = Get<PageLabel>("Pnl_Result_Lbl1");
  EXPECT_EQ(result->text(), QString::fromUtf8(kCounts[GetParam()].text));
  EXPECT_LE(result->LineCount() * 16, result->height());  // every line in its box
  // Every IMG tag met leaves its trace in the hidden memo.
  EXPECT_TRUE(Get<QPlainTextEdit>("Mem_Status")->toPlainText().contains("** FIND IMAGE TAG **"));
}
INSTANTIATE_TEST_SUITE_P(FewAndMany, MainDialogCountTest, ::testing::Range(0, 4), CountName);

TEST_F(MainDialogTest, RunTakesTheOptionsFromTheCheckBoxesAndTheChosenFolder) {
  dir.Write("pics/a.gif", test::GifBytes(120, 45));
  dir.Write("index.html", "<img src=/pics/a.gif width=1 height=2>");
  GoTo(2);
  for (const char* on : {"Pnl_Option_Chk_ALT", "Pnl_Option_Chk_OverWrite", "Pnl_Option_Chk_Quote"})
    Check(on, true);
  Check("Pnl_Option_Chk_BAK", false);
  auto* folderBox = Get<QLineEdit>("Pnl_Option_Txt_AbsFolder");
  folderBox->clear();
  QTest::keyClicks(folderBox, "/typed/by/hand");
  services.folder = QString::fromStdString(dir.Path());
  Click("Pnl_Option_Btn_AbsFolder");  // the chosen folder replaces the typed one
  services.folder.clear();
  Click("Pnl_Option_Btn_AbsFolder");  // cancelled: it stays
  EXPECT_EQ(folderBox->text(), QString::fromStdString(dir.Path()));
  Click("Btn_Next");
  ExpectPage(3);
  const ProcessingOptions& o = engine.options;
  EXPECT_TRUE(o.AddALTAttribute && !o.MakeBAKFile && o.Parameter_OverWrite &&
              o.Parameter_QuoteWrite);
  EXPECT_EQ(o.Parameter_ABSFolder, dir.Path());
  EXPECT_EQ(Doc(), "<img src=/pics/a.gif width=\"120\" height=\"45\" alt=\"a.gif\">");
  EXPECT_FALSE(test::Exists(dir / "index.bak"));
}

// A drag from a file manager, as the window system hands it to the window:
// to the control under the cursor, or, when no control takes drops, to the
// window itself. Returns whether the drop was taken.
bool DropOnWindow(QWidget& window, QPoint at, const QMimeData& data) {
  QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window.windowHandle(), &enter);
  if (!enter.isAccepted()) return false;  // no drop follows a refused drag
  QDragMoveEvent move(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window.windowHandle(), &move);
  QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window.windowHandle(), &drop);
  return drop.isAccepted();
}

// The same drag handed straight to one control.
bool DropOnControl(QWidget& control, QPoint at, const QMimeData& data) {
  QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&control, &enter);
  QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&control, &drop);
  return enter.isAccepted() && drop.isAccepted();
}

// The run goes on a worker thread. Held there at its first trace line, it
// leaves the window working: timers fire, the wait cursor shows, the buttons
// look disabled, and every click, key and drop of the user is dropped, not
// kept for later; a click does not even move the focus. Runs from the
// options page, and from the file page when the options page is off, each
// started by Enter in the page's first input.
class MainDialogWorkerTest : public MainDialogTest, public ::testing::WithParamInterface<int> {};

TEST_P(MainDialogWorkerTest, RunWorksOnAWorkerWhileTheWindowIgnoresTheUser) {
  const int from = GetParam();
  const char* box = from == kOptionPage ? "Pnl_Option_Chk_BAK" : "Pnl_File_Chk";
  GoTo(1);
  Check("Pnl_File_Chk", from == kOptionPage);
  SetName(doc);
  if (from == kOptionPage) Click("Btn_Next");
  std::binary_semaphore started(0), release(0);
  std::atomic<bool> held{false};
  std::atomic<QThread*> runThread{nullptr};
  const TraceLog sink = engine.trace;
  engine.trace = [&, sink](std::string_view line) {
    if (!held.exchange(true)) {
      runThread = QThread::currentThread();
      started.release();
      // A run on the window's own thread would wait here for ever; the
      // limit turns that into a failure.
      release.try_acquire_for(std::chrono::seconds(5));
    }
    sink(line);
  };
  const bool boxWas = Get<QCheckBox>(box)->isChecked();
  QMimeData other;
  other.setUrls({QUrl::fromLocalFile(QString::fromStdString(dir.Write("other.html", "")))});
  bool duringRun = false;
  QWidget* const focus = dialog.focusWidget();
  QTimer::singleShot(0, [&] {
    ASSERT_TRUE(started.try_acquire_for(std::chrono::seconds(5)));
    duringRun = true;
    ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
    for (const QPushButton* button : dialog.findChildren<QPushButton*>())
      EXPECT_FALSE(button->isEnabled()) << button->objectName().toStdString();
    Click("Btn_Cancel");
    Click("Btn_Back");
    Click("Btn_Next");
    Click("Btn_Option");
    QTest::mouseClick(Get<QCheckBox>(box), Qt::LeftButton);
    EXPECT_FALSE(DropOnWindow(dialog, QPoint(450, 184), other));
    QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &dialog,
                    Qt::Key_Escape);
    dialog.close();  // the close box
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(Get<QCheckBox>(box)->isChecked(), boxWas);
    EXPECT_EQ(Name(), doc);
    EXPECT_EQ(dialog.focusWidget(), focus);
    release.release();
  });
  ASSERT_EQ(focus, Get(from == kOptionPage ? "Pnl_Option_Chk_ALT" : "Pnl_File_Txt_Filename"));
  QTest::keyClick(focus, Qt::Key_Return);
  EXPECT_TRUE(duringRun);
  EXPECT_NE(runThread.load(), QThread::currentThread());
  ExpectPage(kResultPage);
  EXPECT_EQ(Doc(), kSizedDoc);
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
  QTest::qWait(50);  // anything the run had kept back would act now
  EXPECT_TRUE(dialog.isVisible());
  ExpectPage(kResultPage);  // Back disabled, オプション enabled: as the page has them
  EXPECT_TRUE(Get("Btn_Help")->isEnabled() && Get("Btn_Cancel")->isEnabled());
  EXPECT_TRUE(services.optionStarts.isEmpty());
}
INSTANTIATE_TEST_SUITE_P(FromOptionOrFilePage, MainDialogWorkerTest,
                         ::testing::Values(kOptionPage, kFilePage),
                         [](const auto& row) { return PageName(row.param); });

class MainDialogTraceTest : public MainDialogTest, public ::testing::WithParamInterface<int> {};

// The hidden memo holds the run's last trace lines, at most a thousand of
// them: the same lines, in the same order, as the engine's whole trace ends.
TEST_P(MainDialogTraceTest, MemoKeepsTheEndOfTheRunsTrace) {
  std::string page;
  for (int i = 0; i < GetParam(); ++i) page += "<p><img src=a.gif alt=x>";
  dir.Write("index.html", page);
  MainProc whole;
  std::vector<std::string> lines;
  whole.trace = [&](std::string_view line) { lines.emplace_back(line); };
  whole.ProcessText(page, dir.Path() + "/");
  GoTo(3);
  ExpectPage(3);
  const size_t kept = std::min<size_t>(lines.size(), kTraceLinesKept);
  QStringList expected;
  for (size_t i = lines.size() - kept; i < lines.size(); ++i)
    expected << QString::fromStdString(lines[i]);
  const auto* memo = Get<QPlainTextEdit>("Mem_Status");
  EXPECT_EQ(memo->blockCount(), static_cast<int>(kept));
  EXPECT_EQ(memo->toPlainText(), expected.join('\n'));
}
// One tag makes a few lines; a thousand tags many thousands.
INSTANTIATE_TEST_SUITE_P(FewAndMany, MainDialogTraceTest, ::testing::Values(1, 72, 1000));

class MainDialogFailTest : public MainDialogTest, public ::testing::WithParamInterface<bool> {};

// A folder standing where the backup goes stops the run, for root too. From
// the file page (options page off) Next runs at once, with the first options.
TEST_P(MainDialogFailTest, FailedRunStaysOnItsPageAndNextRunsAgain) {
  const bool optionPage = GetParam();
  std::filesystem::create_directory(dir / "index.bak");
  GoTo(1);
  Check("Pnl_File_Chk", optionPage);
  SetName(doc);
  Click("Btn_Next");
  if (optionPage) Click("Btn_Next");
  EXPECT_EQ(services.errors, QStringList{"ファイルへのアクセスが拒否されました."});
  ExpectPage(optionPage ? kOptionPage : kFilePage);  // its buttons as they were
  EXPECT_EQ(dialog.focusWidget(), Get("Btn_Next"));  // where the click had put it
  EXPECT_EQ(Doc(), kPlainDoc);
  std::filesystem::remove(dir / "index.bak");
  Click("Btn_Next");
  ExpectPage(kResultPage);
  EXPECT_EQ(Doc(), kSizedDoc);
  EXPECT_EQ(ReadFile(dir / "index.bak"), kPlainDoc);
  EXPECT_EQ(services.errors.size(), 1);
}
INSTANTIATE_TEST_SUITE_P(FromOptionOrFilePage, MainDialogFailTest, ::testing::Bool(), StartName);

TEST_F(MainDialogTest, DropTakesTheFirstItemThatIsNoFolder) {
  const QString folder = QString::fromStdString(dir.Path()), missing = folder + "/gone.html";
  const struct {
    QStringList paths;
    QString name;
  } rows[] = {
      {{folder, doc}, doc},
      {{folder, folder + "/"}, "typed.html"},
      {{}, "typed.html"},
      {{missing, doc}, missing},  // a path without attributes is no folder either
  };
  GoTo(1);
  for (const auto& row : rows) {
    SetName("typed.html");
    dialog.FormDropFiles(row.paths);
    EXPECT_EQ(Name(), row.name) << row.paths.join(' ').toStdString();
  }
  // Through the window: a web address is no file and is passed over.
  QMimeData data;
  data.setUrls({QUrl("http://example.com/a.html"), QUrl::fromLocalFile(doc)});
  QDragEnterEvent enter(QPoint(300, 150), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QDropEvent drop(QPointF(300, 150), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  SetName("typed.html");
  QApplication::sendEvent(&dialog, &enter);
  QApplication::sendEvent(&dialog, &drop);
  EXPECT_EQ(Name(), doc);
  ExpectPage(1);
}

class MainDialogDropTest : public MainDialogTest, public ::testing::WithParamInterface<int> {};

// Dropped on any point of the file page, a file lands in the name box as a
// plain path; on the other pages every drop is refused and changes nothing.
TEST_P(MainDialogDropTest, DropsAnywhereOnThePageFollowTheWindowsRule) {
  const int page = GetParam();
  const QString folder = QString::fromStdString(dir.Path());
  const QString other = QString::fromStdString(dir.Write("other.html", kPlainDoc));
  GoTo(page);
  // A folder first and a web address, as a file manager may send them, with
  // the names as text too, which a text box would take.
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(folder), QUrl("http://example.com/a.html"),
                QUrl::fromLocalFile(other), QUrl::fromLocalFile(doc)});
  data.setText(QUrl::fromLocalFile(other).toString());
  auto* folderBox = Get<QLineEdit>("Pnl_Option_Txt_AbsFolder");
  const QString folderText = folderBox->text();

  // Every control on screen, by the point in its middle.
  QList<QWidget*> targets;
  for (QWidget* w : dialog.findChildren<QWidget*>()) {
    if (!w->isVisible()) continue;
    QWidget* under = dialog.childAt(w->mapTo(&dialog, w->rect().center()));
    if (under != nullptr && !targets.contains(under)) targets << under;
  }
  targets << &dialog;  // and the bare window between the controls
  ASSERT_GT(targets.size(), 8);
  for (QWidget* target : targets) {
    SCOPED_TRACE(target->objectName().isEmpty() ? target->metaObject()->className()
                                                : target->objectName().toStdString());
    const QPoint local = target == &dialog ? QPoint(290, 20) : target->rect().center();
    for (bool direct : {false, true}) {
      SetName("typed.html");
      const bool taken = direct ? DropOnControl(*target, local, data)
                                : DropOnWindow(dialog, target->mapTo(&dialog, local), data);
      EXPECT_EQ(taken, page == kFilePage) << (direct ? "straight to the control" : "by window");
      EXPECT_EQ(Name(), page == kFilePage ? other : "typed.html");
      EXPECT_EQ(folderBox->text(), folderText);
    }
  }
  ExpectPage(page);
}
INSTANTIATE_TEST_SUITE_P(EveryPage, MainDialogDropTest, ::testing::Range(0, 4), PageParamName);

class MainDialogPageTest : public MainDialogTest, public ::testing::WithParamInterface<int> {};

TEST_P(MainDialogPageTest, HelpOpensTheReadmeAndCancelCloses) {
  GoTo(GetParam());
  Click("Btn_Help");
  ASSERT_EQ(services.opened.size(), 1);
  EXPECT_TRUE(services.opened[0].endsWith("/readme.txt")) << services.opened[0].toStdString();
  ExpectPage(GetParam());
  Click("Btn_Cancel");
  EXPECT_FALSE(dialog.isVisible());
}
INSTANTIATE_TEST_SUITE_P(EveryPage, MainDialogPageTest, ::testing::Range(0, 4), PageParamName);

// Where the desktop has no program for text files, Help shows the text in a
// read-only window of the wizard's own, beside the wizard, which goes on.
TEST_F(MainDialogTest, HelpWithoutADesktopViewerShowsTheTextItself) {
  services.desktopOpens = false;
  GoTo(1);
  Click("Btn_Help");
  EXPECT_EQ(services.opened.size(), 1);  // the desktop was asked first
  auto* help = Get<QDialog>("Fm_Help");
  ASSERT_NE(help, nullptr);
  EXPECT_TRUE(help->isVisible() && help->isWindow() && !help->isModal());
  auto* text = help->findChild<QPlainTextEdit*>("Mem_Help");
  ASSERT_NE(text, nullptr);
  QFile readme(TFm_MainDialog::HelpFile());
  ASSERT_TRUE(readme.open(QIODevice::ReadOnly)) << readme.fileName().toStdString();
  const QString shown = QString::fromUtf8(readme.readAll());
  EXPECT_TRUE(shown.contains("■ オプション"));
  EXPECT_EQ(text->toPlainText(), shown);
  QTest::keyClicks(text, "typed");
  EXPECT_EQ(text->toPlainText(), shown);  // read-only
  // The wizard is not held up by it.
  Click("Btn_Back");
  ExpectPage(kTitlePage);
  QTest::mouseClick(help->findChild<QPushButton*>("Btn_Close"), Qt::LeftButton);
  EXPECT_FALSE(help->isVisible());
  Click("Btn_Help");  // the same window comes back
  EXPECT_TRUE(help->isVisible());
  EXPECT_EQ(dialog.findChildren<QDialog*>("Fm_Help").size(), 1);
}

TEST_F(MainDialogTest, FileChooserRefusesUnwritableFilesAndCancelChangesNothing) {
  // Root may write any file, so as root the refused choice is one that has
  // gone since it was chosen.
  const std::string refused = dir.Write("locked/page.html", kPlainDoc);
  if (::geteuid() == 0) {
    std::filesystem::remove(refused);
  } else {
    std::filesystem::permissions(refused, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::remove);
  }
  GoTo(1);
  services.files = {QString::fromStdString(refused), doc};
  Click("Pnl_File_Btn_View");
  EXPECT_EQ(Name(), doc);
  ASSERT_EQ(services.notices.size(), 1);
  EXPECT_TRUE(services.notices[0].startsWith(QString::fromStdString(refused) + "\n"));
  // It comes back in the refused file's folder.
  EXPECT_EQ(services.fileStarts,
            (QStringList{QDir::currentPath(), QString::fromStdString(dir / "locked")}));
  Click("Pnl_File_Btn_View");  // no answers left: cancelled
  EXPECT_EQ(Name(), doc);
}

// The wizard driven by the keyboard alone, every key going to the widget
// that has the focus, as a person's keys do.
class MainDialogKeyTest : public MainDialogTest {
 protected:
  MainDialogKeyTest() { Activate(); }
  void Activate() {
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    [[maybe_unused]] const bool active = QTest::qWaitForWindowActive(&dialog);
  }
  QWidget* Focus() { return QApplication::focusWidget(); }
  void Key(Qt::Key key) { QTest::keyClick(Focus(), key); }
  // Tabs on until `name` has the focus (at most once round the chain).
  void TabTo(const char* name) {
    for (int i = 0; i < 20 && Focus() != Get(name); ++i) Key(Qt::Key_Tab);
    ASSERT_EQ(Focus(), Get(name)) << name;
  }
  QSettings Store() { return QSettings(SettingsFileName(), QSettings::IniFormat); }
};

TEST_F(MainDialogKeyTest, FirstInputHasTheMarkedFocusAtOpenAndNextIsTheDefault) {
  auto* first = Get<QCheckBox>("Pnl_Title_Chk");
  ASSERT_EQ(Focus(), first);
  EXPECT_TRUE(Get<QPushButton>("Btn_Next")->isDefault());
  QStyleOptionButton look;
  look.initFrom(first);
  EXPECT_TRUE(look.state & QStyle::State_HasFocus);
  EXPECT_TRUE(look.state & QStyle::State_KeyboardFocusChange);  // the style draws the mark
  // Enter at start presses Next; the title page's check box stays on.
  Key(Qt::Key_Return);
  ExpectPage(kFilePage);
  EXPECT_TRUE(first->isChecked());
}

// The focused button and the default button never look alike: the focus
// leaves a button's frame as it was and marks its inside; the default frame
// is another. (The style is the one the application uses, Fusion here.)
TEST_F(MainDialogKeyTest, FocusedButtonAndDefaultButtonLookApart) {
  GoTo(kFilePage);
  auto look = [&](const char* name) { return Get(name)->grab().toImage(); };
  auto frame = [](const QImage& image) { return image.copy(0, 0, image.width(), 1); };
  const QImage backPlain = look("Btn_Back");
  TabTo("Btn_Back");
  const QImage back = look("Btn_Back"), next = look("Btn_Next");
  EXPECT_NE(back, backPlain);                // the focus shows
  EXPECT_EQ(frame(back), frame(backPlain));  // but not in the frame
  EXPECT_NE(frame(next), frame(back));       // which is the default's alone
}

// Each page gives the focus to its first input (the result page, with none,
// to 閉じる), going forward or back; Tab walks the page's controls, then the
// buttons from left to right, and round again. Walked by keys alone: the
// name is typed straight into the box that has the focus.
TEST_F(MainDialogKeyTest, FocusGoesToEachPagesFirstInputAndTabWalksPageThenButtons) {
  const struct {
    int page;
    std::vector<const char*> chain;
  } rows[] = {
      {kTitlePage, {"Pnl_Title_Chk", "Btn_Help", "Btn_Cancel", "Btn_Option", "Btn_Next"}},
      {kFilePage,
       {"Pnl_File_Txt_Filename", "Pnl_File_Btn_View", "Pnl_File_Chk", "Btn_Help", "Btn_Cancel",
        "Btn_Option", "Btn_Back", "Btn_Next"}},
      {kOptionPage,
       {"Pnl_Option_Chk_ALT", "Pnl_Option_Chk_BAK", "Pnl_Option_Chk_OverWrite",
        "Pnl_Option_Chk_Quote", "Pnl_Option_Txt_AbsFolder", "Pnl_Option_Btn_AbsFolder", "Btn_Help",
        "Btn_Cancel", "Btn_Option", "Btn_Back", "Btn_Next"}},
      {kResultPage, {"Btn_Next", "Btn_Help", "Btn_Cancel", "Btn_Option"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(PageName(row.page));
    ExpectPage(row.page);
    for (const char* name : row.chain) {
      EXPECT_EQ(Focus(), Get(name)) << name;
      Key(Qt::Key_Tab);
    }
    EXPECT_EQ(Focus(), Get(row.chain.front()));
    if (row.page == kFilePage) QTest::keyClicks(Focus(), doc);
    if (row.page == kOptionPage) {
      Click("Btn_Back");
      EXPECT_EQ(Focus(), Get("Pnl_File_Txt_Filename"));
      EXPECT_EQ(Get<QLineEdit>("Pnl_File_Txt_Filename")->selectedText(), doc);
      Key(Qt::Key_Return);
    }
    if (row.page != kResultPage) Key(Qt::Key_Return);
  }
  EXPECT_EQ(Doc(), kSizedDoc);
}

TEST_F(MainDialogKeyTest, EnterWalksTheWholeWizardFromAnyControl) {
  Key(Qt::Key_Return);
  ExpectPage(kFilePage);
  TabTo("Pnl_File_Txt_Filename");
  QTest::keyClicks(Focus(), doc);
  Key(Qt::Key_Enter);  // the keypad's Enter, in the name box
  ExpectPage(kOptionPage);
  TabTo("Pnl_Option_Chk_ALT");
  Key(Qt::Key_Space);  // Space ticks the focused box and stays
  ExpectPage(kOptionPage);
  EXPECT_TRUE(Get<QCheckBox>("Pnl_Option_Chk_ALT")->isChecked());
  Key(Qt::Key_Return);  // Enter on a check box presses Next
  ExpectPage(kResultPage);
  EXPECT_EQ(Doc(), "<img src=a.gif width=120 height=45 alt=\"a.gif\">");
  Key(Qt::Key_Return);  // 閉じる: saved and closed
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(Store().value(setting::kAddAlt).toString(), "1");
}

// Space presses the focused button, whichever it is; Enter stays Next's.
TEST_F(MainDialogKeyTest, SpacePressesTheFocusedButtonAndEnterStaysNexts) {
  services.folder = QString::fromStdString(dir.Path());
  const struct {
    int page;
    const char* button;
    std::function<bool()> pressed;
  } rows[] = {
      {kFilePage, "Btn_Back", [&] { return dialog.CurrentPage() == kTitlePage; }},
      {kFilePage, "Btn_Help", [&] { return services.opened.size() == 1; }},
      {kFilePage, "Pnl_File_Btn_View", [&] { return services.fileStarts.size() == 1; }},
      {kOptionPage, "Pnl_Option_Btn_AbsFolder",
       [&] { return Get<QLineEdit>("Pnl_Option_Txt_AbsFolder")->text() == services.folder; }},
      {kOptionPage, "Btn_Cancel", [&] { return !dialog.isVisible(); }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.button);
    if (dialog.CurrentPage() != row.page) {
      while (dialog.CurrentPage() > kTitlePage) Click("Btn_Back");
      GoTo(row.page);
    }
    TabTo(row.button);
    EXPECT_FALSE(row.pressed());
    Key(Qt::Key_Space);
    EXPECT_TRUE(row.pressed());
  }
  // Enter with the focus on Back presses Next: here its warning.
  Activate();
  while (dialog.CurrentPage() > kFilePage) Click("Btn_Back");
  SetName("");
  TabTo("Btn_Back");
  Key(Qt::Key_Return);
  ExpectPage(kFilePage);
  EXPECT_EQ(services.warnings, QStringList{"処理を行うファイルの名前を入力してください。"});
}

class MainDialogEscTest : public MainDialogKeyTest, public ::testing::WithParamInterface<int> {};

// Esc is the Cancel button's key on every page: the wizard closes and
// nothing is saved, also after a run.
TEST_P(MainDialogEscTest, EscCancelsWithoutSaving) {
  GoTo(GetParam());
  Get<QCheckBox>("Pnl_Title_Chk")->setChecked(false);
  QApplication::setActiveWindow(&dialog);
  Key(Qt::Key_Escape);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_TRUE(Store().allKeys().isEmpty());
}
INSTANTIATE_TEST_SUITE_P(EveryPage, MainDialogEscTest, ::testing::Range(0, 4), PageParamName);

// The one test with the desktop's own box: caption, text, the single Yes
// button, and a click on it ends the box.
TEST(MainDialogBoxTest, EmptyNameWarningIsARealBoxWithOneYesButton) {
  FreshStore store;
  MainProc engine;
  TFm_MainDialog dialog(engine);
  dialog.show();
  dialog.Btn_NextClick();
  // Answers every box that comes up, so that a second box or one that does
  // not close on its button fails the test instead of hanging it.
  QStringList captions, texts, buttons;
  int ticks = 0;
  QTimer answer;
  QObject::connect(&answer, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box != nullptr && captions.size() < 3) {
      captions << box->windowTitle();
      texts << box->text();
      for (QAbstractButton* b : box->buttons()) buttons << b->text();
      QTest::mouseClick(box->buttons().value(0), Qt::LeftButton);
    } else if (box != nullptr || ++ticks > 300) {
      for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* other = qobject_cast<QMessageBox*>(w)) other->reject();
      }
    }
  });
  answer.start(10);
  QTest::mouseClick(dialog.findChild<QPushButton*>("Btn_Next"), Qt::LeftButton);
  answer.stop();
  EXPECT_EQ(captions, QStringList{"警告"});
  EXPECT_EQ(texts, QStringList{"処理を行うファイルの名前を入力してください。"});
  EXPECT_EQ(buttons, QStringList{"はい(&Y)"});
  EXPECT_EQ(dialog.CurrentPage(), kFilePage);
}

// The general options dialog itself: its texts, a tick taken by OK and
// passed on to the engine, and Esc leaving it as it was.
TEST(GeneralOptionBoxTest, TickAndOkMeasureMoreFormatsEscKeepsThem) {
  FreshStore store;
  MainProc engine;
  TFm_MainDialog dialog(engine);
  dialog.show();
  ASSERT_TRUE(engine.options.Formats.IsClassic());
  const auto* button = dialog.findChild<QPushButton*>("Btn_Option");
  EXPECT_EQ(button->text(), "オプション");
  EXPECT_EQ(button->geometry(), QRect(256, 304, 100, 25));
  QStringList seen;
  // Answers the box once it is up: first a tick and OK, then Esc.
  const auto answer = [&](bool tick) {
    QTimer::singleShot(0, [&, tick] {
      auto* box = qobject_cast<TFm_GeneralOption*>(QApplication::activeModalWidget());
      ASSERT_NE(box, nullptr);
      auto* check = box->findChild<QCheckBox*>("Chk_MoreFormats");
      seen << box->windowTitle() << check->text() << (check->isChecked() ? "on" : "off");
      EXPECT_LE(check->sizeHint().width(), check->width()) << "the text is cut off";
      for (const char* name : {"Btn_OK", "Btn_Cancel"})
        seen << box->findChild<QPushButton*>(name)->text();
      if (tick) {
        QTest::mouseClick(check, Qt::LeftButton);
        QTest::mouseClick(box->findChild<QPushButton*>("Btn_OK"), Qt::LeftButton);
      } else {
        QTest::mouseClick(check, Qt::LeftButton);  // changed, then cancelled
        QTest::keyClick(box, Qt::Key_Escape);
      }
    });
    QTest::mouseClick(const_cast<QPushButton*>(button), Qt::LeftButton);
  };
  answer(true);
  EXPECT_EQ(engine.options.Formats, ImageFormats::All());
  answer(false);
  EXPECT_EQ(engine.options.Formats, ImageFormats::All());
  const QStringList texts = {"全般的なオプション",
                             "PNG・WebP・BMP・AVIF・SVG・JPEG XL・ICO の画像も調べる"};
  const QStringList expected = texts + QStringList{"off", "OK", "キャンセル"} + texts +
                               QStringList{"on", "OK", "キャンセル"};
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

}  // namespace
}  // namespace tamarind
