// The IMG tag rewriter.
//
// House rules of this file:
//  - The tag text that came in is never altered. It is the base of the
//    result unless a measured tag is rebuilt from its attribute list.
//  - The scanner works on the tag text itself, between its first and last
//    byte above the space. A blank is a space, tab, CR or LF; between tokens
//    every byte at or below the space is passed over.
//  - A value that begins with a quote runs to the same quote, so a quoted
//    value comes back exactly as written, blanks, "=" and line breaks
//    included.
//  - Trace lines are only built when somebody listens.
#include <charconv>

#include "MainProc.h"

namespace tamarind {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Bytes at or below the space are trimmed from both ends of a tag and passed
// over between tokens; this includes control bytes such as NUL.
bool IsTrimmed(char c) {
  return static_cast<unsigned char>(c) <= 0x20;
}

bool IsQuote(char c) {
  return c == '"' || c == '\'';
}

char AsciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool NameIs(std::string_view name, std::string_view upperName) {
  if (name.size() != upperName.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (AsciiUpper(name[i]) != upperName[i]) return false;
  }
  return true;
}

std::string_view TrimFront(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && IsTrimmed(s[i])) ++i;
  return s.substr(i);
}

enum class ScanState { WaitWord, WaitEqual, WaitParameter };

void AppendNumber(std::string& out, int32_t value) {
  char digits[16];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

// An alt value holds a file name between double quotes; a double quote in the
// name would end the value early and break the tag, so it is written as an
// entity.
void AppendAltValue(std::string& out, std::string_view name) {
  for (char c : name) {
    if (c == '"') {
      out += "&quot;";
    } else {
      out += c;
    }
  }
}

class Tracer {
 public:
  explicit Tracer(const TraceLog* log) : log_(log != nullptr && *log ? log : nullptr) {}
  bool On() const { return log_ != nullptr; }
  void Line(std::string_view line) const {
    if (log_) (*log_)(line);
  }
  template <typename... Parts>
  void Join(const Parts&... parts) const {
    if (!log_) return;
    std::string line;
    (line.append(parts), ...);
    (*log_)(line);
  }

 private:
  const TraceLog* log_;
};

}  // namespace

size_t WordEndPos(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (IsBlank(text[i]) || text[i] == '=') return i + 1;
  }
  return 0;
}

std::string_view SliceToken(std::string_view& remaining) {
  size_t length;
  if (remaining.empty()) return {};
  if (remaining[0] == '=') {
    length = 1;
  } else if (IsQuote(remaining[0])) {
    const size_t close = remaining.find(remaining[0], 1);
    length = close == std::string_view::npos ? remaining.size() : close + 1;
  } else {
    const size_t end = WordEndPos(remaining);
    length = end == 0 ? remaining.size() : end - 1;
  }
  const std::string_view token = remaining.substr(0, length);
  remaining.remove_prefix(length);
  return token;
}

bool FormatImageTag(std::string_view tag, const RewriteContext& context, std::string& result) {
  const ProcessingOptions& options = *context.options;
  const Tracer trace(context.trace);

  // The tag between its first and last byte above the space.
  size_t first = 0, last = tag.size();
  while (first < last && IsTrimmed(tag[first])) ++first;
  while (last > first && IsTrimmed(tag[last - 1])) --last;
  const std::string_view body = tag.substr(first, last - first);

  // The name ends at the first blank; a tag with no blank inside has no
  // attributes and is no IMG tag worth looking at. Checking the name's three
  // bytes first keeps the common case (any other tag) to a few compares.
  if (body.size() < 4 || !IsBlank(body[3]) || !NameIs(body.substr(0, 3), "IMG")) return false;
  const std::string_view name = body.substr(0, 3);

  RewriteScratch localScratch;
  RewriteScratch& scratch = context.scratch != nullptr ? *context.scratch : localScratch;
  std::vector<RewriteScratch::Token>& tokens = scratch.tokens;
  tokens.clear();
  for (std::string_view rest = TrimFront(body.substr(4)); !rest.empty(); rest = TrimFront(rest)) {
    const size_t offset = static_cast<size_t>(rest.data() - tag.data());
    tokens.push_back({SliceToken(rest), offset});
  }

  // A "/" standing alone at the end (after a blank, or right after a closed
  // quoted value) closes an XHTML-style tag. It is no attribute, and the
  // additions go in front of it.
  bool selfClosing = false;
  size_t slashAt = 0;
  if (!tokens.empty() && tokens.back().text == "/") {
    const RewriteScratch::Token& slash = tokens.back();
    const char before = tag[slash.offset - 1];
    bool afterQuoted = false;
    if (tokens.size() >= 2) {
      const RewriteScratch::Token& prev = tokens[tokens.size() - 2];
      afterQuoted = prev.text.size() >= 2 && IsQuote(prev.text[0]) &&
                    prev.text.back() == prev.text[0] &&
                    prev.offset + prev.text.size() == slash.offset;
    }
    if (IsTrimmed(before) || afterQuoted) {
      selfClosing = true;
      slashAt = slash.offset;
      tokens.pop_back();
    }
  }
  if (tokens.empty()) return false;

  trace.Line("** FIND IMAGE TAG **");
  // The attribute list: entry 0 is the name as written; an attribute with a
  // value is its name, "=" and the value as written.
  std::vector<RewriteScratch::Entry>& entries = scratch.entries;
  entries.clear();
  entries.push_back({name, {}, false});
  std::string_view keyword;
  std::string_view srcValue;
  bool widthMark = false, heightMark = false, altMark = false;
  ScanState state = ScanState::WaitWord;

  for (const RewriteScratch::Token& token : tokens) {
    const std::string_view t = token.text;
    const bool isEqual = t == "=";
    trace.Join("Slice : Keyword is ", t);
    switch (state) {
      case ScanState::WaitWord:
        if (isEqual) break;  // a "=" that follows no name is dropped
        trace.Line("WaitWord");
        keyword = t;
        entries.push_back({t, {}, false});
        state = ScanState::WaitEqual;
        break;
      case ScanState::WaitEqual:
        trace.Line("WaitEqual");
        if (isEqual) {
          state = ScanState::WaitParameter;
        } else {
          // The previous attribute had no value and keeps its bare entry.
          keyword = t;
          entries.push_back({t, {}, false});
        }
        break;
      case ScanState::WaitParameter:
        if (isEqual) break;  // repeated "=" count as one
        trace.Join("WaitParameter : ", keyword, " is ", t);
        entries.back() = {keyword, t, true};
        if (NameIs(keyword, "SRC")) {
          srcValue = t;
          if (!srcValue.empty() && IsQuote(srcValue[0])) {
            if (srcValue.size() == 1) {
              srcValue = {};
            } else if (srcValue.back() == srcValue[0]) {
              srcValue = srcValue.substr(1, srcValue.size() - 2);
            }
          }
        } else if (NameIs(keyword, "WIDTH")) {
          widthMark = true;
          entries.pop_back();
        } else if (NameIs(keyword, "HEIGHT")) {
          heightMark = true;
          entries.pop_back();
        } else if (NameIs(keyword, "ALT")) {
          altMark = true;
        }
        state = ScanState::WaitWord;
        break;
    }
  }

  // A rebuilt tag drops its own WIDTH and HEIGHT, so it always wants both.
  if (options.Parameter_OverWrite) widthMark = heightMark = false;

  ImageSize size;
  if (!(widthMark && heightMark) && !srcValue.empty()) {
    std::string& path = scratch.path;
    path.assign(srcValue[0] == '/' ? std::string_view(options.Parameter_ABSFolder)
                                   : context.documentFolder);
    path += srcValue;
    size = (*context.probe)(path);
  }

  std::string& additions = scratch.additions;
  additions.clear();
  if (size.found) {
    const std::string_view quote = options.Parameter_QuoteWrite ? "\"" : "";
    if (!widthMark) {
      additions += " width=";
      additions += quote;
      AppendNumber(additions, size.width);
      additions += quote;
    }
    if (!heightMark) {
      additions += " height=";
      additions += quote;
      AppendNumber(additions, size.height);
      additions += quote;
    }
  }
  if (!altMark && options.AddALTAttribute) {
    const size_t slash = srcValue.rfind('/');
    additions += " alt=\"";
    AppendAltValue(additions,
                   slash == std::string_view::npos ? srcValue : srcValue.substr(slash + 1));
    additions += '"';
  }
  const bool changed = !additions.empty();

  if (changed) {
    // Only a measured tag is rebuilt: one whose picture gave no size keeps
    // its own WIDTH and HEIGHT.
    const bool rebuild = options.Parameter_OverWrite && size.found;
    result.clear();
    if (rebuild) {
      for (size_t i = 0; i < entries.size(); ++i) {
        if (i > 0) result += ' ';
        result += entries[i].name;
        if (entries[i].hasValue) {
          result += '=';
          result += entries[i].value;
        }
      }
    } else if (selfClosing) {
      size_t end = slashAt;
      while (end > 0 && IsTrimmed(tag[end - 1])) --end;
      result.append(tag.substr(0, end));
    } else {
      result.append(tag);
    }
    result += additions;
    if (selfClosing) {
      result += " /";
      if (!rebuild) result += tag.substr(slashAt + 1);
    }
  }
  trace.Join("** Result : ", changed ? std::string_view(result) : tag, " **");
  return changed;
}

}  // namespace tamarind
