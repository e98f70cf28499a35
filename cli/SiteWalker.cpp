#include "SiteWalker.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <utility>

#include "Ascii.h"
#include "files/FileIo.h"
#include "files/SafeWrite.h"
#include "names/PathName.h"

namespace tamarind::cli {
namespace {

std::string Join(const std::string& folder, const std::string& name) {
  return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

class Walker {
 public:
  Walker(std::vector<std::string>& documents, std::vector<std::string>& problems, Links links,
         std::vector<std::string>* journals)
      : documents_(documents), problems_(problems), links_(links), journals_(journals) {}

  void Walk(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) return Problem(folder, errno);
    // A folder met again (through a link, or a loop) is not walked again.
    if (!seen_.insert({st.st_dev, st.st_ino}).second) return;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return Problem(folder, errno);
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') {
        names.emplace_back(entry->d_name);
      } else if (journals_ != nullptr && tamarind::IsJournalName(entry->d_name, false)) {
        journals_->push_back(Join(folder, entry->d_name));
      }
    }
    const int err = errno;
    ::closedir(dir);
    if (err != 0) return Problem(folder, err);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      const std::string path = Join(folder, name);
      if (links_ == Links::Skip) {
        if (::lstat(path.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) continue;
      } else if (::stat(path.c_str(), &st) != 0) {
        // A dangling link, or a file gone meanwhile: only a document's
        // name is worth a word.
        if (IsHtmlName(name)) documents_.push_back(path);
        continue;
      }
      if (S_ISDIR(st.st_mode)) {
        Walk(path);
      } else if (IsHtmlName(name)) {
        documents_.push_back(path);
      }
    }
  }

 private:
  void Problem(const std::string& path, int err) {
    problems_.push_back(path + ": " + EInOutError::FromErrno(err).what());
  }

  std::vector<std::string>& documents_;
  std::vector<std::string>& problems_;
  const Links links_;
  std::vector<std::string>* journals_;
  std::set<std::pair<dev_t, ino_t>> seen_;
};

}  // namespace

bool IsHtmlName(const std::string& name) {
  const std::string_view ext = tamarind::ExtensionOf(name);
  for (const std::string_view html : {".html", ".htm", ".xhtml", ".xht"}) {
    if (tamarind::EqualsIgnoringAsciiCase(ext, html)) return true;
  }
  return false;
}

void CollectDocuments(const std::string& folder, std::vector<std::string>& documents,
                      std::vector<std::string>& problems, Links links,
                      std::vector<std::string>* journals) {
  Walker(documents, problems, links, journals).Walk(folder);
}

}  // namespace tamarind::cli
