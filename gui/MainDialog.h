// MainDialog: the four-page wizard, tamarind's working window.
//
// The dialog collects one HTML file and the options, makes the one call into
// the engine, and shows how many tags changed. It never touches files itself.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "MainProc.h"

namespace Ui {
class TFm_MainDialog;
}

namespace tamarind {

// What the wizard asks of the desktop: message boxes, the file and folder
// choosers, opening the help text. Tests put in their own, so that no test
// ever waits on a modal box.
class DialogServices {
 public:
  virtual ~DialogServices() = default;
  // A warning about the page's input: caption "警告", one button "はい(&Y)".
  virtual void Warning(QWidget* parent, const QString& text);
  // An error that stopped a handler: stop icon, OK, the application's title.
  virtual void ErrorBox(QWidget* parent, const QString& text);
  // A message about a chosen file that cannot be used.
  virtual void Notice(QWidget* parent, const QString& text);
  // The file chooser for HTML files; an empty result means cancelled.
  virtual QString ChooseFile(QWidget* parent, const QString& startFolder);
  // The folder chooser; an empty result means cancelled.
  virtual QString ChooseFolder(QWidget* parent, const QString& startFolder);
  // The general options dialog, modal: whether pictures of more formats are
  // measured, starting from `moreFormats`; empty when cancelled.
  virtual std::optional<bool> GeneralOptions(QWidget* parent, bool moreFormats);
  // Opens a document with the desktop's viewer; false when the desktop has
  // no program for it.
  virtual bool OpenDocument(const QString& path);
};

// The end of a run's trace, gathered as the lines come. A big page writes
// millions of trace lines; only the last ones are kept, each slot's storage
// used again, so that the trace costs neither time nor memory to speak of.
class TraceTail {
 public:
  explicit TraceTail(size_t capacity) : lines_(capacity) {}
  void Add(std::string_view line);
  // The kept lines, oldest first, one per line; the tail is empty after.
  std::string Take();

 private:
  std::vector<std::string> lines_;
  size_t next_ = 0;   // the slot the next line goes to
  size_t count_ = 0;  // lines kept, at most the capacity
};

// How many trace lines of a run the hidden memo keeps.
inline constexpr size_t kTraceLinesKept = 1000;

// The wizard's pages, in the order they are met.
enum Page : uint8_t { kTitlePage = 0, kFilePage = 1, kOptionPage = 2, kResultPage = 3 };

class TFm_MainDialog : public QDialog {
  Q_OBJECT

 public:
  // `engine` is the process-wide engine; `services` may be null for the
  // desktop's own (the dialog does not own it).
  explicit TFm_MainDialog(MainProc& engine, DialogServices* services = nullptr,
                          QWidget* parent = nullptr);
  ~TFm_MainDialog() override;

  uint8_t CurrentPage() const { return currentPage_; }
  // The folder the file chooser starts in (empty: the current folder).
  const QString& OpenDialogFolder() const { return openDialogFolder_; }

  // Handlers, named after their control and event.
  void FormCreate();
  void Btn_NextClick();
  void Btn_BackClick();
  void Btn_CancelClick();
  void Btn_HelpClick();
  void Btn_OptionClick();
  void Pnl_File_Btn_ViewClick();
  void Pnl_Option_Btn_AbsFolderClick();
  // Takes the first dropped item that is not a folder into the name box.
  void FormDropFiles(const QStringList& paths);

  // The per-user settings: loaded while the dialog is made, saved by Next
  // on the result page. LoadSettings never throws (a faulty value is
  // reported once the dialog shows); SaveSettings throws ERegistryException.
  void LoadSettings();
  void SaveSettings();

  // The help text: beside the program, or where an installation puts it.
  static QString HelpFile();

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  // Esc: the Cancel button's key.
  void reject() override;

 private:
  void ShowTitlePage();
  void ShowFilePage();
  void ShowOptionPage();
  void ShowResultPage();
  // The steps every page routine ends with: the title, the buttons, the one
  // visible panel, whether dropped files are taken, and the control that
  // gets the focus.
  void ShowPage(const QString& title, bool backEnabled, const QString& nextText, QWidget* panel,
                bool acceptDrops, QWidget* first);
  // Gives a control the focus, a text box with its text selected.
  void FocusInput(QWidget* control);
  // The option check boxes and the folder box into the engine's options,
  // and back: the one mapping of controls onto options.
  void CopyControlsIntoOptions();
  void CopyOptionsIntoControls();
  // Whether the name box names a file, and the folder box a folder (or is
  // empty); if not, the page's warning, and the focus back on the box.
  bool FileNameIsUsable();
  bool AbsFolderIsUsable();
  bool AbsFolderExists() const;  // the same test, without a word
  // The result page's line for `count` changed tags.
  QString ResultText(int count) const;
  void Run();
  // The help text in a read-only window of the wizard's own.
  void ShowHelpText(const QString& path);
  // The engine's run on a worker thread; the window goes on repainting and
  // takes no input until it has returned. Throws what the run threw.
  int ProcessOnWorker(const std::string& fileName);
  // What the window does with a drag and a drop, wherever over it they
  // happen: taken on the file page, refused on the others.
  void AcceptDrag(QDragMoveEvent* event);
  void TakeDrop(QDropEvent* event);

  Ui::TFm_MainDialog* ui;
  MainProc& engine_;
  DialogServices* services_;
  std::unique_ptr<DialogServices> ownedServices_;
  uint8_t currentPage_ = kTitlePage;
  QString openDialogFolder_;
  TraceTail trace_{kTraceLinesKept};  // the run's last trace lines, for Mem_Status
  bool running_ = false;              // a run is under way on the worker
  QPointer<QDialog> helpWindow_;      // made at the first Help that needs it
  QString pendingError_;              // a settings fault found while the dialog was made
  bool centred_ = false;
};

// The one dialog of the process, created at start-up.
extern TFm_MainDialog* Fm_MainDialog;

// Maps the Windows font names the layout uses onto the metric-compatible
// Japanese fonts of this system. Called before any window is made.
void InstallFontSubstitutes();

// The text of an error box: the message, with "." added when its last
// character sorts above ".".
QString ErrorBoxText(const QString& message);

}  // namespace tamarind
