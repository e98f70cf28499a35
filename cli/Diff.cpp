#include "Diff.h"

#include "Output.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace tamarind::cli {
namespace {

constexpr size_t kContext = 3;

// The lines of a text: where each begins, and how many there are. A last
// line without a line break is a line too.
class Lines {
 public:
  explicit Lines(std::string_view text) : text_(text) {
    starts_.push_back(0);
    for (size_t p = text.find('\n'); p != std::string_view::npos; p = text.find('\n', p + 1)) {
      starts_.push_back(p + 1);
    }
    if (starts_.back() == text.size()) starts_.pop_back();  // nothing after the last break
  }
  size_t Count() const { return starts_.size(); }
  std::string_view Text() const { return text_; }
  // The line a byte position of the text lies on.
  size_t LineOf(size_t pos) const {
    return static_cast<size_t>(std::upper_bound(starts_.begin(), starts_.end(), pos) -
                               starts_.begin()) -
           1;
  }
  std::string_view Line(size_t i) const {
    const size_t end = i + 1 < starts_.size() ? starts_[i + 1] : text_.size();
    return text_.substr(starts_[i], end - starts_[i]);
  }

 private:
  std::string_view text_;
  std::vector<size_t> starts_;
};

// A run of whole lines that differ: old lines [a, b) became new lines [c, d).
struct Block {
  size_t a, b, c, d;
};

// The bytes of whole lines that a change touches in each text. Before a
// change and after it the two texts are the same, so the lines around it
// are found by going back to the line break before it and on to the first
// line break after it; only a change that ends at a line's end in both
// texts ends its lines there. Without that, a change that takes out or puts
// in a line break would join its line to the next in one text only.
struct Span {
  size_t oldBegin, oldEnd, newBegin, newEnd;
};

bool AtLineStart(std::string_view text, size_t pos) {
  return pos == 0 || text[pos - 1] == '\n';
}

Span SpanOf(std::string_view oldText, std::string_view newText, const Change& c) {
  const size_t lineBreak =
      c.oldBegin == 0 ? std::string_view::npos : oldText.rfind('\n', c.oldBegin - 1);
  const size_t back = c.oldBegin - (lineBreak == std::string_view::npos ? 0 : lineBreak + 1);
  Span s{c.oldBegin - back, c.oldEnd, c.newBegin - back, c.newEnd};
  if (!AtLineStart(oldText, c.oldEnd) || !AtLineStart(newText, c.newEnd)) {
    const size_t next = oldText.find('\n', c.oldEnd);
    const size_t on = (next == std::string_view::npos ? oldText.size() : next + 1) - c.oldEnd;
    s.oldEnd += on;
    s.newEnd += on;
  }
  return s;
}

// The line a span's edge stands at: spans begin and end at line starts, or
// at the end of the text.
size_t LineAt(const Lines& lines, size_t pos) {
  return pos == lines.Text().size() ? lines.Count() : lines.LineOf(pos);
}

void AppendLine(std::string& out, char mark, std::string_view line) {
  out += mark;
  out.append(line);
  if (line.empty() || line.back() != '\n') out += "\n\\ No newline at end of file\n";
}

std::string Range(size_t start, size_t count) {
  // A range of no lines names the line before it.
  const size_t shown = count == 0 ? start : start + 1;
  return std::to_string(shown) + "," + std::to_string(count);
}

// A name as the header lines give it: as it is, or, when it holds a control
// byte, a double quote or a backslash, between double quotes with C escapes
// ("a\tb.html"), as git writes such names and patch reads them back. A TAB
// or a line break as it is would end the name early for patch.
std::string HeaderName(std::string_view name) {
  const auto plain = [](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return c >= 0x20 && c != 0x7f && c != '"' && c != '\\';
  };
  if (std::all_of(name.begin(), name.end(), plain)) return std::string(name);
  std::string quoted = "\"";
  for (const char ch : name) {
    if (ch == '"' || ch == '\\') quoted += '\\';
    quoted += Printable(std::string_view(&ch, 1));
  }
  return quoted + '"';
}

}  // namespace

void ChangeRecorder::NoteChange(std::string_view oldBytes, size_t newLength) {
  const size_t newEnd = newText.size();
  const size_t newBegin = newEnd - newLength;
  oldText.append(newText, lastNewEnd_, newBegin - lastNewEnd_);  // kept since the last change
  changes.push_back({oldText.size(), oldText.size() + oldBytes.size(), newBegin, newEnd});
  oldText.append(oldBytes);
  lastNewEnd_ = newEnd;
}

void ChangeRecorder::Finish() {
  oldText.append(newText, lastNewEnd_, std::string::npos);
  lastNewEnd_ = newText.size();
}

std::string DiffTime(const struct timespec& time) {
  struct tm local {};
  ::localtime_r(&time.tv_sec, &local);
  char date[32], zone[8], nanos[16];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
  std::strftime(zone, sizeof zone, "%z", &local);
  std::snprintf(nanos, sizeof nanos, ".%09ld ", static_cast<long>(time.tv_nsec));
  return std::string(date) + nanos + zone;
}

std::string LinkTargetName(const std::string& name) {
  std::filesystem::path path(name);
  // As many steps as the system allows itself before it calls it a loop.
  for (int step = 0; step < 40; ++step) {
    std::error_code error;
    if (!std::filesystem::is_symlink(std::filesystem::symlink_status(path, error))) break;
    const std::filesystem::path target = std::filesystem::read_symlink(path, error);
    if (error) break;
    path = target.is_absolute() ? target : (path.parent_path() / target).lexically_normal();
  }
  return path.string();
}

std::string UnifiedDiff(const std::string& label, std::string_view oldText,
                        std::string_view newText, const std::vector<Change>& changes,
                        const std::string& oldDate, const std::string& newDate) {
  if (changes.empty()) return {};
  const Lines oldLines(oldText), newLines(newText);
  // Changes on the same line make one span: the text after the first is
  // then not the same in both up to the line's end.
  std::vector<Span> spans;
  for (const Change& c : changes) {
    const Span s = SpanOf(oldText, newText, c);
    if (!spans.empty() && s.oldBegin < spans.back().oldEnd) {
      spans.back().oldEnd = s.oldEnd;
      spans.back().newEnd = s.newEnd;
    } else if (s.oldBegin != s.oldEnd || s.newBegin != s.newEnd) {
      spans.push_back(s);
    }
  }
  if (spans.empty()) return {};
  // Spans on neighbouring lines make one block.
  std::vector<Block> blocks;
  for (const Span& s : spans) {
    const Block b{LineAt(oldLines, s.oldBegin), LineAt(oldLines, s.oldEnd),
                  LineAt(newLines, s.newBegin), LineAt(newLines, s.newEnd)};
    if (!blocks.empty() && b.a <= blocks.back().b) {
      blocks.back().b = b.b;
      blocks.back().d = b.d;
    } else {
      blocks.push_back(b);
    }
  }

  const std::string name = HeaderName(label);
  std::string out = "--- " + name + "\t" + oldDate + "\n+++ " + name + "\t" + newDate + "\n";
  for (size_t i = 0; i < blocks.size();) {
    // Blocks whose context would meet go into one hunk.
    size_t j = i;
    while (j + 1 < blocks.size() && blocks[j + 1].a - blocks[j].b <= 2 * kContext) ++j;
    const size_t oldStart = blocks[i].a - std::min(blocks[i].a, kContext);
    const size_t oldEnd = std::min(oldLines.Count(), blocks[j].b + kContext);
    const size_t newStart = blocks[i].c - (blocks[i].a - oldStart);
    const size_t newEnd = blocks[j].d + (oldEnd - blocks[j].b);
    out += "@@ -" + Range(oldStart, oldEnd - oldStart) + " +" + Range(newStart, newEnd - newStart) +
           " @@\n";
    size_t line = oldStart;
    for (size_t k = i; k <= j; ++k) {
      for (; line < blocks[k].a; ++line) AppendLine(out, ' ', oldLines.Line(line));
      for (size_t l = blocks[k].a; l < blocks[k].b; ++l) AppendLine(out, '-', oldLines.Line(l));
      for (size_t l = blocks[k].c; l < blocks[k].d; ++l) AppendLine(out, '+', newLines.Line(l));
      line = blocks[k].b;
    }
    for (; line < oldEnd; ++line) AppendLine(out, ' ', oldLines.Line(line));
    i = j + 1;
  }
  return out;
}

}  // namespace tamarind::cli
