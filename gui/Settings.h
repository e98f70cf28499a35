// The per-user settings store of the wizard: the four options, the web root
// folder, the two page switches, the folder of the last file, and the
// general option of more picture formats.
#pragma once

#include <QString>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

class QSettings;

namespace tamarind {

// An error of the settings store; its message names the value concerned.
class ERegistryException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The names of the stored values, as they have always been spelled.
namespace setting {
inline constexpr char kFileFolder[] = "FileForder";
inline constexpr char kShowTitlePage[] = "SkipFirstPage";
inline constexpr char kShowOptionPage[] = "SkipOptionPage";
inline constexpr char kAddAlt[] = "AddALTAttribute";
inline constexpr char kMakeBak[] = "MakeBAKFile";
inline constexpr char kOverWrite[] = "Parameter_OverWrite";
inline constexpr char kQuoteWrite[] = "Parameter_QuoteWrite";
inline constexpr char kAbsFolder[] = "Parameter_ABSFolder";
// Added later, so absent from older stores: off, GIF and JPEG only.
inline constexpr char kMoreFormats[] = "MeasureMoreFormats";
}  // namespace setting

// The values of a store, each one there or not: as read from a store, or
// to be written to one. The store knows nothing of the wizard; the dialog
// maps its controls and options onto this value and back.
struct StoredSettings {
  std::optional<QString> fileFolder;
  std::optional<bool> showTitlePage, showOptionPage;
  std::optional<bool> addAlt, makeBak, overWrite, quoteWrite;
  std::optional<QString> absFolder;
  std::optional<bool> moreFormats;
  QString firstError;  // reading: the first faulty value's message, or empty
};

// Reads every value of a store. A value of the wrong type, or a flag beyond
// 32 bits, is left out, and the first such fault kept in firstError.
StoredSettings ReadStoredSettings(const QSettings& store);

// Writes every value that is set (flags as 0 or 1) and flushes the store.
// Throws ERegistryException, naming the first value written, when the
// store could not be written.
void WriteStoredSettings(QSettings& store, const StoredSettings& values);

// The store of this user: opened under the program's own key.
std::unique_ptr<QSettings> OpenSettingsStore();

// Makes sure the store exists before it is written, its folder and all.
// False when it cannot be made.
bool CreateSettingsStore(const QSettings& store);

// The folder part of a file name as it is stored: up to the last "/",
// without it unless it is the root ("/web/index.html" gives "/web",
// "/index.html" gives "/", a bare name gives "").
QString FolderOfFileName(const QString& fileName);

// The default of the web root folder: the user's documents folder, or the
// home folder when there is none or it does not exist.
QString DefaultAbsFolder();

// Where the store lives (a file under the user's configuration folder on
// this platform).
QString SettingsFileName();

}  // namespace tamarind
