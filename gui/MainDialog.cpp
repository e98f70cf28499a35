#include "MainDialog.h"

#include <unistd.h>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <limits>
#include <utility>

#include "ButtonStyle.h"
#include "GeneralOption.h"
#include "Settings.h"
#include "ui_MainDialog.h"

namespace tamarind {

TFm_MainDialog* Fm_MainDialog = nullptr;

namespace {

const char kWarningCaption[] = "警告";
// The choosers open larger than Qt's first size, with room for their
// columns of names, sizes, types and dates.
constexpr QSize kChooserSize(800, 500);

// Qt's own chooser keeps its columns at their first widths however wide the
// window, which cuts sizes, types and dates short: the name takes the room
// left over, and the others fit what they show. (A chooser of the desktop's
// has no such view, and is left as it is.)
void FitChooser(QFileDialog& dialog) {
  dialog.resize(kChooserSize);
  if (auto* view = dialog.findChild<QTreeView*>(QStringLiteral("treeView"))) {
    QHeaderView* header = view->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(QHeaderView::ResizeToContents);
    header->setSectionResizeMode(0, QHeaderView::Stretch);
  }
}

// The wait cursor for as long as a run works.
class WaitCursor {
 public:
  WaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QGuiApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

// A name as the engine and the file system take it: bytes in the system's
// encoding of file names.
std::string FileNameBytes(const QString& name) {
  return QFile::encodeName(name).toStdString();
}

// Whether the user may change a file: the file itself and its folder (where
// the new contents and the backup are made).
bool IsWritableHere(const QString& path) {
  const QByteArray file = QFile::encodeName(path);
  const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
  return ::access(file.constData(), W_OK) == 0 && ::access(folder.constData(), W_OK) == 0;
}

bool IsUserInput(QEvent::Type type) {
  switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
      return true;
    default:
      return false;
  }
}

// The option check boxes and the flags they stand for, in the order they
// are copied: the one list for both ways.
const struct OptionBox {
  QCheckBox* Ui::TFm_MainDialog::*box;
  bool ProcessingOptions::*flag;
} kOptionBoxes[] = {
    {&Ui::TFm_MainDialog::Pnl_Option_Chk_ALT, &ProcessingOptions::AddALTAttribute},
    {&Ui::TFm_MainDialog::Pnl_Option_Chk_BAK, &ProcessingOptions::MakeBAKFile},
    {&Ui::TFm_MainDialog::Pnl_Option_Chk_OverWrite, &ProcessingOptions::Parameter_OverWrite},
    {&Ui::TFm_MainDialog::Pnl_Option_Chk_Quote, &ProcessingOptions::Parameter_QuoteWrite},
};

// While a run works, the window takes no input at all: its buttons look
// disabled, and no control takes the focus, by a click or by a key, so that
// the focus stays where the run found it. Everything comes back as it was.
class InputHold {
 public:
  InputHold(QWidget& window, std::initializer_list<QPushButton*> buttons)
      : focus_(window.focusWidget()) {
    for (QWidget* control : window.findChildren<QWidget*>()) {
      if (control->window() != &window) continue;  // a help window goes on
      policies_.emplace_back(control, control->focusPolicy());
      control->setFocusPolicy(Qt::NoFocus);
    }
    // A button that had the focus gives it up here (disabled), to no one.
    for (QPushButton* button : buttons) {
      enabled_.emplace_back(button, button->isEnabled());
      button->setEnabled(false);
    }
  }
  ~InputHold() {
    for (const auto& [button, on] : enabled_) button->setEnabled(on);
    for (const auto& [control, policy] : policies_) {
      if (control != nullptr) control->setFocusPolicy(policy);
    }
    if (focus_ != nullptr) focus_->setFocus(Qt::OtherFocusReason);
  }
  InputHold(const InputHold&) = delete;
  InputHold& operator=(const InputHold&) = delete;

 private:
  QPointer<QWidget> focus_;
  std::vector<std::pair<QPointer<QWidget>, Qt::FocusPolicy>> policies_;
  std::vector<std::pair<QPushButton*, bool>> enabled_;
};

}  // namespace

void TraceTail::Add(std::string_view line) {
  if (lines_.empty()) return;
  lines_[next_].assign(line);
  next_ = (next_ + 1) % lines_.size();
  if (count_ < lines_.size()) ++count_;
}

std::string TraceTail::Take() {
  std::string text;
  const size_t first = (next_ + lines_.size() - count_) % std::max<size_t>(lines_.size(), 1);
  for (size_t i = 0; i < count_; ++i) {
    if (i > 0) text += '\n';
    text += lines_[(first + i) % lines_.size()];
  }
  next_ = count_ = 0;
  return text;
}

void InstallFontSubstitutes() {
  // IPA's fonts share the metrics of the Windows fonts the layout was drawn
  // with, so every text fits where it was meant to.
  QFont::insertSubstitution(QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic"));
  QFont::insertSubstitution(QStringLiteral("ＭＳ ゴシック"), QStringLiteral("IPAGothic"));
  QFont::insertSubstitution(QStringLiteral("MS PGothic"), QStringLiteral("IPAPGothic"));
  QFont::insertSubstitution(QStringLiteral("MS Gothic"), QStringLiteral("IPAGothic"));
}

QString ErrorBoxText(const QString& message) {
  const QList<uint> codePoints = message.toUcs4();
  if (!codePoints.isEmpty() && codePoints.back() > '.') return message + QLatin1Char('.');
  return message;
}

// --- The desktop's own boxes and choosers ----------------------------------

void DialogServices::Warning(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Warning, QString::fromUtf8(kWarningCaption), text,
                  QMessageBox::NoButton, parent);
  box.addButton(QStringLiteral("はい(&Y)"), QMessageBox::AcceptRole);
  box.exec();
}

void DialogServices::ErrorBox(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Critical, QGuiApplication::applicationName(), text, QMessageBox::Ok,
                  parent);
  box.exec();
}

void DialogServices::Notice(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Warning, QGuiApplication::applicationName(), text, QMessageBox::Ok,
                  parent);
  box.exec();
}

QString DialogServices::ChooseFile(QWidget* parent, const QString& startFolder) {
  QFileDialog dialog(parent, QString(), startFolder, QStringLiteral("HTMLファイル (*.html *.htm)"));
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setSizeGripEnabled(true);
  FitChooser(dialog);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().constFirst();
}

QString DialogServices::ChooseFolder(QWidget* parent, const QString& startFolder) {
  QFileDialog dialog(parent, QString(), startFolder);
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly);
  FitChooser(dialog);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().constFirst();
}

std::optional<bool> DialogServices::GeneralOptions(QWidget* parent, bool moreFormats) {
  TFm_GeneralOption dialog(parent);
  dialog.SetMeasureMoreFormats(moreFormats);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return dialog.MeasureMoreFormats();
}

bool DialogServices::OpenDocument(const QString& path) {
  return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

// --- The wizard --------------------------------------------------------------

TFm_MainDialog::TFm_MainDialog(MainProc& engine, DialogServices* services, QWidget* parent)
    : QDialog(parent),
      ui(new Ui::TFm_MainDialog),
      engine_(engine),
      services_(services != nullptr ? services : new DialogServices) {
  if (services == nullptr) ownedServices_.reset(services_);
  InstallFontSubstitutes();
  // Before the layout's style sheet, which draws through the window's style.
  setStyle(ButtonStyle::Instance());
  ui->setupUi(this);
  // A fixed dialog frame whose title bar has only a close box.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(629, 344);
  // Dropped files are the window's, never one of its controls': a text box
  // would take a dropped file as "file://" text at the drop point, on any
  // page. So no control takes drops, and a drag that reaches one anyway is
  // handled as the window's.
  for (QWidget* control : findChildren<QWidget*>()) {
    control->setAcceptDrops(false);
    control->installEventFilter(this);
  }
  installEventFilter(this);  // the window's own keys too, while a run works
  // Long paths are never cut.
  ui->Pnl_File_Txt_Filename->setMaxLength(std::numeric_limits<int>::max());
  ui->Pnl_Option_Txt_AbsFolder->setMaxLength(std::numeric_limits<int>::max());

  connect(ui->Btn_Next, &QPushButton::clicked, this, &TFm_MainDialog::Btn_NextClick);
  connect(ui->Btn_Back, &QPushButton::clicked, this, &TFm_MainDialog::Btn_BackClick);
  connect(ui->Btn_Cancel, &QPushButton::clicked, this, &TFm_MainDialog::Btn_CancelClick);
  connect(ui->Btn_Help, &QPushButton::clicked, this, &TFm_MainDialog::Btn_HelpClick);
  connect(ui->Btn_Option, &QPushButton::clicked, this, &TFm_MainDialog::Btn_OptionClick);
  connect(ui->Pnl_File_Btn_View, &QPushButton::clicked, this,
          &TFm_MainDialog::Pnl_File_Btn_ViewClick);
  connect(ui->Pnl_Option_Btn_AbsFolder, &QPushButton::clicked, this,
          &TFm_MainDialog::Pnl_Option_Btn_AbsFolderClick);

  // The rewriter's trace goes to the hidden memo, its end gathered during
  // a run (on the worker's thread; the window reads it once the run is over).
  engine_.trace = [this](std::string_view line) { trace_.Add(line); };
  FormCreate();
}

TFm_MainDialog::~TFm_MainDialog() {
  engine_.trace = nullptr;
  delete ui;
}

void TFm_MainDialog::FormCreate() {
  ui->Pnl_Title_Chk->setChecked(true);
  ui->Pnl_File_Chk->setChecked(true);
  CopyControlsIntoOptions();                          // the check boxes as the layout has them
  engine_.options.Formats = ImageFormats::Classic();  // GIF and JPEG unless the store says more
  LoadSettings();
  if (openDialogFolder_.isEmpty()) openDialogFolder_ = QDir::currentPath();
  CopyOptionsIntoControls();
  if (ui->Pnl_Title_Chk->isChecked()) {
    ShowTitlePage();
  } else {
    ShowFilePage();
  }
}

void TFm_MainDialog::CopyControlsIntoOptions() {
  ProcessingOptions& options = engine_.options;
  for (const OptionBox& row : kOptionBoxes) options.*row.flag = (ui->*row.box)->isChecked();
  // The folder as typed: not trimmed.
  options.Parameter_ABSFolder = FileNameBytes(ui->Pnl_Option_Txt_AbsFolder->text());
}

void TFm_MainDialog::CopyOptionsIntoControls() {
  const ProcessingOptions& options = engine_.options;
  for (const OptionBox& row : kOptionBoxes) (ui->*row.box)->setChecked(options.*row.flag);
  ui->Pnl_Option_Txt_AbsFolder->setText(QFile::decodeName(options.Parameter_ABSFolder.c_str()));
  ui->Pnl_Option_Txt_AbsFolder->setCursorPosition(0);  // a long path shows from its start
}

void TFm_MainDialog::ShowPage(const QString& title, bool backEnabled, const QString& nextText,
                              QWidget* panel, bool acceptDrops, QWidget* first) {
  ui->Lbl_Title->setText(title);
  ui->Lbl_Title->adjustSize();  // its width follows the text
  ui->Btn_Back->setEnabled(backEnabled);
  ui->Btn_Next->setText(nextText);
  for (QWidget* p : {ui->Pnl_Title, ui->Pnl_File, ui->Pnl_Option, ui->Pnl_Result}) {
    p->setVisible(p == panel);
  }
  setAcceptDrops(acceptDrops);
  // The keys go to what the page asks for first; Enter still presses Next.
  FocusInput(first);
}

void TFm_MainDialog::FocusInput(QWidget* control) {
  // A box's text is selected, so that typing replaces it.
  if (auto* box = qobject_cast<QLineEdit*>(control)) box->selectAll();
  control->setFocus(Qt::OtherFocusReason);
}

void TFm_MainDialog::ShowTitlePage() {
  currentPage_ = kTitlePage;
  ShowPage(QStringLiteral("ようこそ"), false, QStringLiteral("次へ >"), ui->Pnl_Title, false,
           ui->Pnl_Title_Chk);
}

void TFm_MainDialog::ShowFilePage() {
  currentPage_ = kFilePage;
  ShowPage(QStringLiteral("ファイルの選択"), true, QStringLiteral("次へ >"), ui->Pnl_File, true,
           ui->Pnl_File_Txt_Filename);
}

void TFm_MainDialog::ShowOptionPage() {
  currentPage_ = kOptionPage;
  ShowPage(QStringLiteral("オプションの設定"), true, QStringLiteral("次へ >"), ui->Pnl_Option,
           false, ui->Pnl_Option_Chk_ALT);
}

void TFm_MainDialog::ShowResultPage() {
  CopyControlsIntoOptions();
  const int count = ProcessOnWorker(FileNameBytes(ui->Pnl_File_Txt_Filename->text()));

  currentPage_ = kResultPage;
  ui->Pnl_Result_Lbl1->setText(ResultText(count));
  // The page has nothing to fill in: the keys go to 閉じる.
  ShowPage(QStringLiteral("処理を完了しました"), false, QStringLiteral("閉じる"), ui->Pnl_Result,
           false, ui->Btn_Next);
}

QString TFm_MainDialog::ResultText(int count) const {
  if (count == 0) return QStringLiteral("このファイルには、処理の対象になるタグはありませんでした");
  const QString line = QStringLiteral("　%1個のタグに処理を行いました。").arg(count);
  // A long count (six digits or more) leaves the sentence no room on one
  // line; it is then broken where a reader pauses, after the count's phrase,
  // rather than inside the verb at the end.
  ui->Pnl_Result_Lbl1->ensurePolished();  // the layout's font, from its style sheet
  const QFontMetrics metrics(ui->Pnl_Result_Lbl1->font());
  if (metrics.horizontalAdvance(line) <= ui->Pnl_Result_Lbl1->contentsRect().width()) return line;
  return QStringLiteral("　%1個のタグに").arg(count) + QChar(QChar::LineSeparator) +
         QStringLiteral("処理を行いました。");
}

int TFm_MainDialog::ProcessOnWorker(const std::string& fileName) {
  WaitCursor wait;
  const InputHold hold(*this, {ui->Btn_Help, ui->Btn_Cancel, ui->Btn_Option, ui->Btn_Back,
                               ui->Btn_Next, ui->Pnl_File_Btn_View, ui->Pnl_Option_Btn_AbsFolder});
  running_ = true;
  int count = 0;
  std::exception_ptr failure;
  QEventLoop loop;
  const std::unique_ptr<QThread> worker(QThread::create([&] {
    try {
      count = engine_.ProcessFile(fileName);
    } catch (...) {
      failure = std::current_exception();
    }
  }));
  connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit);
  worker->start();
  // The window goes on: it repaints, and what the user does meanwhile is
  // ignored (see eventFilter), not kept for when the run is over.
  loop.exec();
  worker->wait();
  running_ = false;
  // A page that an interrupted run left half written was put back from its
  // journal before it was read.
  if (!engine_.Restored().empty()) {
    std::fprintf(stderr, "tamarind: %s: restored from %s, left by an interrupted run\n",
                 fileName.c_str(), engine_.Restored().c_str());
  }
  // Also when the run failed: its trace is there all the same.
  ui->Mem_Status->setPlainText(QString::fromUtf8(trace_.Take()));
  if (failure) std::rethrow_exception(failure);
  return count;
}

void TFm_MainDialog::Run() {
  // The event loop carries no exceptions: an error that stops the run is
  // shown here, and the dialog stays on the page where Next was pressed.
  try {
    ShowResultPage();
  } catch (const std::exception& e) {
    services_->ErrorBox(this, ErrorBoxText(QString::fromUtf8(e.what())));
  }
}

void TFm_MainDialog::Btn_NextClick() {
  if (running_) return;
  switch (currentPage_) {
    case kTitlePage:
      ShowFilePage();
      break;
    case kFilePage:
      if (!FileNameIsUsable()) return;
      if (!ui->Pnl_File_Chk->isChecked() && AbsFolderExists()) {
        Run();
      } else {
        // With the options page skipped, a folder that is not there brings
        // the page up, the warning over it, where the folder can be mended.
        ShowOptionPage();
        if (!ui->Pnl_File_Chk->isChecked()) AbsFolderIsUsable();
      }
      break;
    case kOptionPage:
      if (AbsFolderIsUsable()) Run();
      break;
    case kResultPage:
      // A store that cannot be written keeps the dialog open on this page:
      // Close can be pressed again, or Cancel leaves without saving.
      try {
        SaveSettings();
      } catch (const std::exception& e) {
        services_->ErrorBox(this, ErrorBoxText(QString::fromUtf8(e.what())));
        return;
      }
      close();
      break;
    default:
      break;
  }
}

bool TFm_MainDialog::FileNameIsUsable() {
  const QString name = ui->Pnl_File_Txt_Filename->text();
  QString warning;
  if (name.isEmpty()) {
    warning = QStringLiteral("処理を行うファイルの名前を入力してください。");
  } else if (!QFileInfo(name).isFile()) {  // a folder counts as missing
    warning = QLatin1Char('"') + name + QStringLiteral("\" というファイルが見つかりません。");
  } else {
    return true;
  }
  services_->Warning(this, warning);
  // Typing right after the box goes to the name again, replacing it.
  FocusInput(ui->Pnl_File_Txt_Filename);
  return false;
}

bool TFm_MainDialog::AbsFolderExists() const {
  // An empty box stands for the file system's own root: a SRC of "/a.gif"
  // is the file /a.gif, as the command line does without a root folder.
  const QString folder = ui->Pnl_Option_Txt_AbsFolder->text();
  return folder.isEmpty() || QFileInfo(folder).isDir();
}

bool TFm_MainDialog::AbsFolderIsUsable() {
  if (AbsFolderExists()) return true;
  // Else every picture under "/" would go without a size, with no word why.
  const QString folder = ui->Pnl_Option_Txt_AbsFolder->text();
  services_->Warning(
      this, QLatin1Char('"') + folder + QStringLiteral("\" というフォルダが見つかりません。"));
  FocusInput(ui->Pnl_Option_Txt_AbsFolder);
  return false;
}

void TFm_MainDialog::Btn_BackClick() {
  if (running_) return;
  switch (currentPage_) {
    case kFilePage:
      ShowTitlePage();
      break;
    case kOptionPage:
      ShowFilePage();
      break;
    default:
      break;
  }
}

void TFm_MainDialog::Btn_CancelClick() {
  close();
}

QString TFm_MainDialog::HelpFile() {
  const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/readme.txt");
  if (QFileInfo::exists(beside)) return beside;
  const QString installed =
      QCoreApplication::applicationDirPath() + QStringLiteral("/../share/tamarind/readme.txt");
  if (QFileInfo::exists(installed)) return QFileInfo(installed).canonicalFilePath();
  return beside;
}

void TFm_MainDialog::Btn_HelpClick() {
  const QString help = HelpFile();
  // A desktop without a program for text files (no xdg-open, say) still
  // gets its help: the wizard shows the text itself.
  if (!services_->OpenDocument(help)) ShowHelpText(help);
}

void TFm_MainDialog::Btn_OptionClick() {
  if (running_) return;
  // The general options have no control on the pages: their state is the
  // engine's, loaded and saved with the other options.
  ProcessingOptions& options = engine_.options;
  const std::optional<bool> more = services_->GeneralOptions(this, !options.Formats.IsClassic());
  if (more) options.Formats = *more ? ImageFormats::All() : ImageFormats::Classic();
}

void TFm_MainDialog::ShowHelpText(const QString& path) {
  if (helpWindow_ == nullptr) {
    // A window of its own beside the wizard, not modal: the help can be read
    // while the pages are filled in.
    helpWindow_ = new QDialog(this, Qt::Window);
    helpWindow_->setObjectName(QStringLiteral("Fm_Help"));
    helpWindow_->setWindowTitle(QStringLiteral("ヘルプ - tamarind"));
    helpWindow_->resize(640, 480);
    auto* text = new QPlainTextEdit(helpWindow_);
    text->setObjectName(QStringLiteral("Mem_Help"));
    text->setReadOnly(true);
    // The text lines up its columns in a font of even widths.
    QFont font(QStringLiteral("ＭＳ ゴシック"));
    font.setPixelSize(14);
    text->setFont(font);
    auto* close = new QPushButton(QStringLiteral("閉じる"), helpWindow_);
    close->setObjectName(QStringLiteral("Btn_Close"));
    connect(close, &QPushButton::clicked, helpWindow_, &QDialog::close);
    auto* layout = new QVBoxLayout(helpWindow_);
    layout->addWidget(text);
    layout->addWidget(close, 0, Qt::AlignRight);
  }
  auto* text = helpWindow_->findChild<QPlainTextEdit*>(QStringLiteral("Mem_Help"));
  QFile file(path);
  if (file.open(QIODevice::ReadOnly)) {
    text->setPlainText(QString::fromUtf8(file.readAll()));
  } else {
    text->setPlainText(QStringLiteral("ヘルプのファイル %1 を開けませんでした。")
                           .arg(QDir::toNativeSeparators(path)));
  }
  helpWindow_->show();
  helpWindow_->raise();
  helpWindow_->activateWindow();
}

void TFm_MainDialog::Pnl_File_Btn_ViewClick() {
  QString folder = openDialogFolder_;
  for (;;) {
    const QString chosen = services_->ChooseFile(this, folder);
    if (chosen.isEmpty()) return;
    // The run writes the file back and keeps a backup beside it, so a file
    // the user may not change is refused here, before any page is left,
    // and the chooser comes back.
    if (IsWritableHere(chosen)) {
      ui->Pnl_File_Txt_Filename->setText(QDir::toNativeSeparators(chosen));
      return;
    }
    services_->Notice(this, QStringLiteral("%1\nこのファイルは書き込みが禁止されています。\n"
                                           "別のファイルを選択してください。")
                                .arg(QDir::toNativeSeparators(chosen)));
    folder = QFileInfo(chosen).absolutePath();
  }
}

void TFm_MainDialog::Pnl_Option_Btn_AbsFolderClick() {
  QString start = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
  if (start.isEmpty() || !QFileInfo(start).isDir()) start = QDir::homePath();
  const QString chosen = services_->ChooseFolder(this, start);
  if (!chosen.isEmpty()) ui->Pnl_Option_Txt_AbsFolder->setText(QDir::toNativeSeparators(chosen));
}

void TFm_MainDialog::FormDropFiles(const QStringList& paths) {
  for (const QString& path : paths) {
    if (QFileInfo(path).isDir()) continue;
    ui->Pnl_File_Txt_Filename->setText(path);
    return;
  }
}

void TFm_MainDialog::AcceptDrag(QDragMoveEvent* event) {
  // The window's accept flag is the page's: only the file page takes files,
  // and not while a run works (the name box would no longer be the file
  // that was processed, nor its folder the one saved).
  if (acceptDrops() && !running_ && event->mimeData()->hasUrls()) {
    event->acceptProposedAction();
  } else {
    event->ignore();
  }
}

void TFm_MainDialog::TakeDrop(QDropEvent* event) {
  if (!acceptDrops() || running_) {
    event->ignore();
    return;
  }
  QStringList paths;
  for (const QUrl& url : event->mimeData()->urls()) {
    // Only files on this machine can be processed; a web address is no file.
    if (url.isLocalFile()) paths << QDir::toNativeSeparators(url.toLocalFile());
  }
  FormDropFiles(paths);
  event->acceptProposedAction();
}

void TFm_MainDialog::dragEnterEvent(QDragEnterEvent* event) {
  AcceptDrag(event);
}

void TFm_MainDialog::dragMoveEvent(QDragMoveEvent* event) {
  AcceptDrag(event);
}

void TFm_MainDialog::dropEvent(QDropEvent* event) {
  TakeDrop(event);
}

bool TFm_MainDialog::eventFilter(QObject* watched, QEvent* event) {
  // While a run works, the controls take no clicks and no keys: they are
  // dropped, so that a Cancel pressed meanwhile does not act once the run is
  // over.
  if (running_ && IsUserInput(event->type())) return true;
  if (watched != this) {
    switch (event->type()) {
      case QEvent::DragEnter:
      case QEvent::DragMove:
        AcceptDrag(static_cast<QDragMoveEvent*>(event));
        return true;
      case QEvent::Drop:
        TakeDrop(static_cast<QDropEvent*>(event));
        return true;
      case QEvent::DragLeave:
        return true;
      default:
        break;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void TFm_MainDialog::reject() {
  Btn_CancelClick();
}

void TFm_MainDialog::closeEvent(QCloseEvent* event) {
  // The close box waits for the run, as the buttons do.
  if (running_) {
    event->ignore();
    return;
  }
  // Not QDialog's, which would go round through reject() again.
  QWidget::closeEvent(event);
}

void TFm_MainDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // The focus is marked from the start, so that a keyboard user sees where
  // the keys go; Qt would show the mark only once the keyboard has moved the
  // focus (and showing the window clears the flag, so it is set here).
  setAttribute(Qt::WA_KeyboardFocusChange);
  if (centred_) return;
  centred_ = true;
  if (!pendingError_.isEmpty()) {
    // Reported once the dialog stands on screen, consistent, behind the box.
    QTimer::singleShot(0, this, [this] {
      const QString message = std::exchange(pendingError_, QString());
      services_->ErrorBox(this, ErrorBoxText(message));
    });
  }
  if (const QScreen* screen = this->screen()) {
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
}

// The dialog's side of the store: its controls and options mapped onto the
// stored values and back. What the store holds and how is Settings.cpp's.
void TFm_MainDialog::LoadSettings() {
  ProcessingOptions& options = engine_.options;
  options.Parameter_ABSFolder = QFile::encodeName(DefaultAbsFolder()).toStdString();
  // Only read: a first start leaves no store behind; 閉じる makes it.
  const std::unique_ptr<QSettings> store = OpenSettingsStore();
  const StoredSettings read = ReadStoredSettings(*store);
  if (read.fileFolder) openDialogFolder_ = *read.fileFolder;
  if (read.showTitlePage) ui->Pnl_Title_Chk->setChecked(*read.showTitlePage);
  if (read.showOptionPage) ui->Pnl_File_Chk->setChecked(*read.showOptionPage);
  if (read.addAlt) options.AddALTAttribute = *read.addAlt;
  if (read.makeBak) options.MakeBAKFile = *read.makeBak;
  if (read.overWrite) options.Parameter_OverWrite = *read.overWrite;
  if (read.quoteWrite) options.Parameter_QuoteWrite = *read.quoteWrite;
  if (read.absFolder) {
    options.Parameter_ABSFolder = QFile::encodeName(*read.absFolder).toStdString();
  }
  if (read.moreFormats) {
    options.Formats = *read.moreFormats ? ImageFormats::All() : ImageFormats::Classic();
  }
  // Reported once the dialog is on screen.
  if (pendingError_.isEmpty()) pendingError_ = read.firstError;
}

void TFm_MainDialog::SaveSettings() {
  const std::unique_ptr<QSettings> store = OpenSettingsStore();
  // Nothing can be written; the dialog closes all the same.
  if (!CreateSettingsStore(*store)) return;
  const ProcessingOptions& options = engine_.options;
  StoredSettings values;
  const QString name = ui->Pnl_File_Txt_Filename->text();
  if (!name.isEmpty()) values.fileFolder = FolderOfFileName(name);
  values.showTitlePage = ui->Pnl_Title_Chk->isChecked();
  values.showOptionPage = ui->Pnl_File_Chk->isChecked();
  values.addAlt = options.AddALTAttribute;
  values.makeBak = options.MakeBAKFile;
  values.overWrite = options.Parameter_OverWrite;
  values.quoteWrite = options.Parameter_QuoteWrite;
  values.absFolder = QFile::decodeName(QByteArray::fromStdString(options.Parameter_ABSFolder));
  values.moreFormats = !options.Formats.IsClassic();
  WriteStoredSettings(*store, values);
}

}  // namespace tamarind
