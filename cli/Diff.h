// Unified diffs of what a run would change, for reviewing before writing.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "MainProc.h"

namespace tamarind::cli {

// One change: bytes [oldBegin, oldEnd) of the document became bytes
// [newBegin, newEnd) of the new contents.
struct Change {
  size_t oldBegin, oldEnd, newBegin, newEnd;
};

// Gathers a document's old and new contents and where they differ.
class ChangeRecorder : public DocumentOutput {
 public:
  void Write(std::string_view bytes) override { newText.append(bytes); }
  void NoteChange(std::string_view oldBytes, size_t newLength) override;
  // Call once the run is over: completes the old contents.
  void Finish();

  std::string oldText;
  std::string newText;
  std::vector<Change> changes;

 private:
  size_t lastNewEnd_ = 0;
};

// The changes as a unified diff ("diff -u" form) of `label` against itself,
// with three lines of context; empty when nothing changed. As diff does, a
// TAB and a date follow the name in the header lines, so that patch reads a
// name with blanks whole; a name with a control byte, a double quote or a
// backslash is quoted with C escapes, as git writes it. `patch -p0` applies
// it in the folder the label is relative to.
std::string UnifiedDiff(const std::string& label, std::string_view oldText,
                        std::string_view newText, const std::vector<Change>& changes,
                        const std::string& oldDate, const std::string& newDate);

// A time as diff writes it in its headers: "2026-12-01 09:30:00.000000000 +0900".
std::string DiffTime(const struct timespec& time);

// The file a name stands for, as a name in the same form: symbolic links
// are followed one by one, a relative link joined to the folder it stands
// in, so that a relative name stays relative. A name that is no link comes
// back as it is.
std::string LinkTargetName(const std::string& name);

}  // namespace tamarind::cli
