// Unified diffs of what a run would change, for reviewing before writing.
#pragma once

#include <cstddef>
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
// with three lines of context; empty when nothing changed. `patch -p0`
// applies it in the folder the label is relative to.
std::string UnifiedDiff(const std::string& label, std::string_view oldText,
                        std::string_view newText, const std::vector<Change>& changes);

}  // namespace tamarind::cli
