// What the wizard's tests share: a recorder in place of the desktop's boxes
// and choosers, and a fresh settings store per test.
#pragma once

#include <QFile>
#include <QString>
#include <QStringList>
#include <optional>
#include <ostream>

#include "MainDialog.h"
#include "Settings.h"

// Failures show the texts themselves, not their UTF-16 units.
inline void PrintTo(const QString& s, std::ostream* os) {
  *os << '"' << s.toStdString() << '"';
}

namespace tamarind {

// Records what the dialog asks of the desktop; the choosers give scripted
// answers, an empty one standing for Cancel.
class RecordingServices : public DialogServices {
 public:
  void Warning(QWidget*, const QString& text) override { warnings << text; }
  void ErrorBox(QWidget*, const QString& text) override { errors << text; }
  void Notice(QWidget*, const QString& text) override { notices << text; }
  QString ChooseFile(QWidget*, const QString& start) override {
    fileStarts << start;
    return files.isEmpty() ? QString() : files.takeFirst();
  }
  QString ChooseFolder(QWidget*, const QString&) override { return folder; }
  std::optional<bool> GeneralOptions(QWidget*, bool moreFormats) override {
    optionStarts << moreFormats;
    return optionAnswer;
  }
  bool OpenDocument(const QString& path) override {
    opened << path;
    return desktopOpens;
  }

  QStringList warnings, errors, notices, fileStarts, opened, files;
  QString folder;
  bool desktopOpens = true;          // whether the desktop has a program for the help
  QList<bool> optionStarts;          // what the general options dialog was opened with
  std::optional<bool> optionAnswer;  // its answer; empty for キャンセル
};

// Each test starts from an empty settings store (it lives in main()'s
// private configuration folder), so that no run leaks into the next.
struct FreshStore {
  FreshStore() { QFile::remove(SettingsFileName()); }
};

}  // namespace tamarind
