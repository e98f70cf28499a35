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
#include <cctype>
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

namespace {

// The tokens of a tag's attribute text, in order, each with its place in
// the tag. Nothing is stored: a tag of a million attributes costs no more
// memory than a tag of one.
class Tokens {
 public:
  struct Token {
    std::string_view text;
    size_t offset;  // in the tag text
  };
  Tokens(std::string_view tag, std::string_view attributes) : tag_(tag), rest_(attributes) {}
  bool Next(Token& t) {
    rest_ = TrimFront(rest_);
    if (rest_.empty()) return false;
    t.offset = static_cast<size_t>(rest_.data() - tag_.data());
    t.text = SliceToken(rest_);
    return true;
  }

 private:
  std::string_view tag_;
  std::string_view rest_;
};

bool IsClosedQuote(std::string_view token) {
  return token.size() >= 2 && IsQuote(token[0]) && token.back() == token[0];
}

// The attribute list of a tag, rebuilt for Parameter_OverWrite: entries
// joined by single spaces, WIDTH and HEIGHT with a value left out. Only the
// last entry can still change (a name whose value comes next), so it is held
// back until the next one begins.
class AttributeList {
 public:
  AttributeList(std::string& out, std::string_view name) : out_(out) {
    out_.clear();
    out_.append(name);
  }
  void AddName(std::string_view name) {
    Flush();
    name_ = name;
    value_ = {};
    held_ = true;
  }
  void SetValue(std::string_view value) { value_ = value; }
  void DropLast() { held_ = false; }
  void Flush() {
    if (!held_) return;
    out_ += ' ';
    out_.append(name_);
    if (!value_.empty()) {
      out_ += '=';
      out_.append(value_);
    }
    held_ = false;
  }

 private:
  std::string& out_;
  std::string_view name_, value_;
  bool held_ = false;
};

// A value with a scheme ("http:", "https:", "ftp:") or a protocol-relative
// "//host/..." names a picture elsewhere, not a file of the site. A scheme
// has at least two letters, so nothing here is taken for a drive letter.
bool IsRemote(std::string_view value) {
  if (value.substr(0, 2) == "//") return true;
  size_t i = 0;
  while (i < value.size() && (std::isalnum(static_cast<unsigned char>(value[i])) ||
                              value[i] == '+' || value[i] == '-' || value[i] == '.')) {
    ++i;
  }
  return i >= 2 && i < value.size() && value[i] == ':' &&
         std::isalpha(static_cast<unsigned char>(value[0]));
}

void NoteMiss(TagMiss& miss, std::string_view src, const ImageSize& size) {
  miss.missed = true;
  miss.src = src;
  miss.extension = size.extension;
  switch (size.outcome) {
    case ProbeOutcome::NoFile:
      miss.reason = IsRemote(src) ? MissReason::Remote : MissReason::NoPicture;
      break;
    case ProbeOutcome::Folder:
      miss.reason = MissReason::NoPicture;
      break;
    case ProbeOutcome::NotMeasured:
      miss.reason = MissReason::NotMeasured;
      break;
    case ProbeOutcome::Unreadable:
      miss.reason = MissReason::Unreadable;
      break;
    case ProbeOutcome::NoSize:
    case ProbeOutcome::Found:
      miss.reason = MissReason::NoSize;
      break;
  }
}

}  // namespace

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
  const std::string_view attributes = TrimFront(body.substr(4));

  // The scan. Tokens are taken one ahead, so that the last one is known as
  // such: a "/" standing alone at the end (after a blank, or right after a
  // closed quoted value) closes an XHTML-style tag. It is no attribute, and
  // the additions go in front of it.
  std::string_view keyword;
  std::string_view srcValue;
  bool haveSrc = false;  // a SRC with a value, empty or not
  bool widthMark = false, heightMark = false, altMark = false;
  bool selfClosing = false;
  size_t slashAt = 0;
  bool any = false;
  ScanState state = ScanState::WaitWord;
  Tokens tokens(tag, attributes);
  Tokens::Token held{}, prev{}, next{};
  bool haveHeld = tokens.Next(held);
  while (haveHeld) {
    const bool haveNext = tokens.Next(next);
    if (!haveNext && held.text == "/" &&
        (IsTrimmed(tag[held.offset - 1]) ||
         (any && IsClosedQuote(prev.text) && prev.offset + prev.text.size() == held.offset))) {
      selfClosing = true;
      slashAt = held.offset;
      break;
    }
    if (!any) trace.Line("** FIND IMAGE TAG **");
    any = true;
    const std::string_view t = held.text;
    const bool isEqual = t == "=";
    trace.Join("Slice : Keyword is ", t);
    switch (state) {
      case ScanState::WaitWord:
        if (isEqual) break;  // a "=" that follows no name is dropped
        trace.Line("WaitWord");
        keyword = t;
        state = ScanState::WaitEqual;
        break;
      case ScanState::WaitEqual:
        trace.Line("WaitEqual");
        if (isEqual) {
          state = ScanState::WaitParameter;
        } else {
          keyword = t;  // the previous attribute had no value
        }
        break;
      case ScanState::WaitParameter:
        if (isEqual) break;  // repeated "=" count as one
        trace.Join("WaitParameter : ", keyword, " is ", t);
        if (NameIs(keyword, "SRC")) {
          srcValue = t;
          haveSrc = true;
          if (!srcValue.empty() && IsQuote(srcValue[0])) {
            if (srcValue.size() == 1) {
              srcValue = {};
            } else if (srcValue.back() == srcValue[0]) {
              srcValue = srcValue.substr(1, srcValue.size() - 2);
            }
          }
        } else if (NameIs(keyword, "WIDTH")) {
          widthMark = true;
        } else if (NameIs(keyword, "HEIGHT")) {
          heightMark = true;
        } else if (NameIs(keyword, "ALT")) {
          altMark = true;
        }
        state = ScanState::WaitWord;
        break;
    }
    prev = held;
    held = next;
    haveHeld = haveNext;
  }
  if (!any) return false;  // no attributes, or the closing slash alone

  // A rebuilt tag drops its own WIDTH and HEIGHT, so it always wants both.
  if (options.Parameter_OverWrite) widthMark = heightMark = false;

  RewriteScratch localScratch;
  RewriteScratch& scratch = context.scratch != nullptr ? *context.scratch : localScratch;
  ImageSize size;
  TagMiss* const miss = context.miss;
  if (miss != nullptr) miss->missed = false;
  if (!(widthMark && heightMark) && !srcValue.empty()) {
    std::string& path = scratch.path;
    path.assign(srcValue[0] == '/' ? std::string_view(options.Parameter_ABSFolder)
                                   : context.documentFolder);
    path += srcValue;
    size = (*context.probe)(path);
    if (!size.found && miss != nullptr) NoteMiss(*miss, srcValue, size);
  } else if (!(widthMark && heightMark) && haveSrc && miss != nullptr) {
    *miss = {true, MissReason::EmptySrc, ImageKind::None, srcValue};
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
    // Room for the whole result at once: a tag can be as large as the
    // document, and growing a copy of it would hold it three times.
    result.clear();
    result.reserve(tag.size() + additions.size() + 2);
    if (rebuild) {
      // The same scan once more, now writing the attribute list.
      AttributeList list(result, name);
      Tokens again(tag, attributes);
      Tokens::Token token{};
      state = ScanState::WaitWord;
      while (again.Next(token) && !(selfClosing && token.offset == slashAt)) {
        const bool isEqual = token.text == "=";
        switch (state) {
          case ScanState::WaitWord:
            if (isEqual) break;
            keyword = token.text;
            list.AddName(token.text);
            state = ScanState::WaitEqual;
            break;
          case ScanState::WaitEqual:
            if (isEqual) {
              state = ScanState::WaitParameter;
            } else {
              keyword = token.text;
              list.AddName(token.text);
            }
            break;
          case ScanState::WaitParameter:
            if (isEqual) break;
            if (NameIs(keyword, "WIDTH") || NameIs(keyword, "HEIGHT")) {
              list.DropLast();
            } else {
              list.SetValue(token.text);
            }
            state = ScanState::WaitWord;
            break;
        }
      }
      list.Flush();
    } else if (selfClosing) {
      size_t end = slashAt;
      while (end > 0 && IsTrimmed(tag[end - 1])) --end;
      result.assign(tag.substr(0, end));
    } else {
      result.assign(tag);
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
