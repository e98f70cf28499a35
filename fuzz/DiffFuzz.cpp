// Fuzz target: the unified diff writer behind --diff. The input, cut at each
// byte 01, is a list of pieces taken in turns as text kept, bytes replaced
// and the bytes replacing them; they are fed to the change recorder as the
// engine's run feeds it. The diff must carry the old contents to the new
// ones exactly, as patch applies it: a small strict applier here checks the
// hunk ranges, every context and removed line against the old contents, and
// the marks of a last line without a line break.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "Diff.h"
#include "FuzzCheck.h"

namespace {

std::vector<std::string_view> LinesOf(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const size_t end = std::min(text.find('\n'), text.size() - 1) + 1;
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end);
  }
  return lines;
}

// Reads "N,M" from `s` at `at`, moving past it.
size_t Number(std::string_view s, size_t& at) {
  size_t n = 0;
  Check(at < s.size() && s[at] >= '0' && s[at] <= '9');
  while (at < s.size() && s[at] >= '0' && s[at] <= '9') n = n * 10 + size_t(s[at++] - '0');
  return n;
}

// Applies `diff` to `oldText` as patch would, failing on anything patch
// would refuse or apply elsewhere.
std::string Apply(std::string_view diff, std::string_view oldText) {
  const std::vector<std::string_view> old = LinesOf(oldText);
  std::vector<std::string_view> lines = LinesOf(diff);
  Check(lines.size() >= 3 && lines[0].starts_with("--- p.html\t") &&
        lines[1].starts_with("+++ p.html\t"));
  std::string out;
  size_t pos = 0, outLines = 0, i = 2;
  while (i < lines.size()) {
    const std::string_view header = lines[i++];
    Check(header.starts_with("@@ -") && header.ends_with(" @@\n"));
    size_t at = 4;
    const size_t a = Number(header, at);
    Check(header.substr(at++, 1) == ",");
    size_t oldCount = Number(header, at);
    Check(header.substr(at, 2) == " +");
    at += 2;
    const size_t c = Number(header, at);
    Check(header.substr(at++, 1) == ",");
    size_t newCount = Number(header, at);
    Check(header.substr(at) == " @@\n");
    // A range of no lines names the line before it.
    const size_t oldStart = oldCount == 0 ? a : a - 1, newStart = newCount == 0 ? c : c - 1;
    Check(a > 0 || oldCount == 0);
    Check(oldStart >= pos && oldStart <= old.size());
    for (; pos < oldStart; ++pos, ++outLines) out.append(old[pos]);
    Check(outLines == newStart);
    while (oldCount > 0 || newCount > 0) {
      Check(i < lines.size());
      const std::string_view line = lines[i++];
      std::string body(line.substr(1));
      if (i < lines.size() && lines[i] == "\\ No newline at end of file\n") {
        Check(body.ends_with('\n'));
        body.pop_back();
        ++i;
      }
      if (line[0] == ' ' || line[0] == '-') {
        Check(oldCount-- > 0 && pos < old.size() && old[pos++] == body);
      }
      if (line[0] == ' ' || line[0] == '+') {
        Check(newCount-- > 0);
        out.append(body);
        ++outLines;
      }
      Check(line[0] == ' ' || line[0] == '-' || line[0] == '+');
    }
  }
  for (; pos < old.size(); ++pos) out.append(old[pos]);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  tamarind::cli::ChangeRecorder recorder;
  std::string oldText, newText;
  size_t turn = 0;
  std::string_view replaced;
  for (size_t start = 0; start <= input.size(); ++turn) {
    const size_t end = std::min(input.find('\x01', start), input.size());
    const std::string_view piece = input.substr(start, end - start);
    start = end + 1;
    if (turn % 3 == 0) {
      recorder.Write(piece);
      oldText += piece;
      newText += piece;
    } else if (turn % 3 == 1) {
      replaced = piece;
    } else {
      recorder.Write(piece);
      recorder.NoteChange(replaced, piece.size());
      oldText += replaced;
      newText += piece;
    }
  }
  recorder.Finish();
  Check(recorder.oldText == oldText && recorder.newText == newText);
  Check(recorder.changes.size() == turn / 3);

  const std::string diff = tamarind::cli::UnifiedDiff("p.html", oldText, newText, recorder.changes,
                                                      "2026-12-01 09:30:00.000000000 +0900",
                                                      "2026-12-01 09:31:00.000000000 +0900");
  // Nothing to show only where nothing changed.
  Check(!diff.empty() || oldText == newText);
  if (!diff.empty()) Check(Apply(diff, oldText) == newText);
  return 0;
}
