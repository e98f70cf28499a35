// The IMG tag rewriter.
//
// House rules of this file:
//  - The tag text that came in is never altered. It is the base of the
//    result unless a measured tag is rebuilt from its attribute list.
//  - The scanner works on the tag text itself, between its first and last
//    byte that is no HTML white space (space, tab, CR, LF, form feed), as
//    a browser's tokenizer reads it: white space separates tokens and ends
//    a word; any other byte, a NUL or a control byte too, belongs to one.
//  - A value (after a name's "=") that begins with a quote runs to the same
//    quote, so a quoted value comes back exactly as written, blanks, "="
//    and line breaks included. Elsewhere a quote is a byte like any other.
//  - Trace lines are only built when somebody listens.
#include "html/TagRewriter.h"

#include <charconv>
#include <cmath>
#include <optional>

#include "Ascii.h"
#include "html/Srcset.h"
#include "names/PictureName.h"

namespace tamarind {
namespace {

bool IsQuote(char c) {
  return c == '"' || c == '\'';
}

// Tag and attribute names are compared without regard to ASCII case.
bool NameIs(std::string_view name, std::string_view upperName) {
  return EqualsIgnoringAsciiCase(name, upperName);
}

std::string_view TrimFront(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && IsHtmlSpace(s[i])) ++i;
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
    // One line's room, kept from line to line: a page of half a million
    // tags writes millions of lines, and the log keeps its own copy.
    thread_local std::string line;
    line.clear();
    (line.append(parts), ...);
    (*log_)(line);
  }

 private:
  const TraceLog* log_;
};

// Where the next token may stand, as a browser's tokenizer sees it: where
// a name begins, after a name (where "=" may follow), or after a name's "="
// (where its value begins).
enum class Slice { Name, AfterName, Value };

// Cuts the next token off the front of `remaining`, which must not begin
// with white space. After a name, a "=" is a token alone. A value that
// opens with a quote runs to the same quote included (or to the end when
// none follows); one that opens with no quote runs to the next blank, "="
// and quotes included (src=a.gif?v=2, src==a.gif, src=a=b"). Outside a
// value a "/" is a token alone: it ends the name before it, as in browsers
// (<img ismap/src=a.gif>). Anything else is a name: its first byte whatever
// it is ("=" and quotes too: <img =x>), then up to the next blank, "=" or
// "/". Only a value can be quoted.
std::string_view SliceToken(std::string_view& remaining, Slice where) {
  if (remaining.empty()) return {};
  size_t length = 1;
  if (where == Slice::Value && IsQuote(remaining[0])) {
    const size_t close = remaining.find(remaining[0], 1);
    length = close == std::string_view::npos ? remaining.size() : close + 1;
  } else if (where == Slice::Value) {
    while (length < remaining.size() && !IsHtmlSpace(remaining[length])) ++length;
  } else if (remaining[0] != '/' && (where == Slice::Name || remaining[0] != '=')) {
    while (length < remaining.size() && !IsHtmlSpace(remaining[length]) &&
           remaining[length] != '=' && remaining[length] != '/') {
      ++length;
    }
  }
  const std::string_view token = remaining.substr(0, length);
  remaining.remove_prefix(length);
  return token;
}

// The tokens of a tag's attribute text, in order, each with its place in
// the tag. Nothing is stored: a tag of a million attributes costs no more
// memory than a tag of one.
class Tokens {
 public:
  struct Token {
    std::string_view text;
    size_t offset;  // in the tag text
    Slice where;
  };
  Tokens(std::string_view tag, std::string_view attributes) : tag_(tag), rest_(attributes) {}
  bool Next(Token& t, Slice where) {
    rest_ = TrimFront(rest_);
    if (rest_.empty()) return false;
    t.offset = static_cast<size_t>(rest_.data() - tag_.data());
    t.where = where;
    t.text = SliceToken(rest_, where);
    return true;
  }

 private:
  std::string_view tag_;
  std::string_view rest_;
};

bool IsClosedQuote(std::string_view token) {
  return token.size() >= 2 && IsQuote(token[0]) && token.back() == token[0];
}

// A value without its pair of quotes; a lone quote is an empty value.
std::string_view Unquoted(std::string_view v) {
  if (v.empty() || !IsQuote(v[0])) return v;
  if (v.size() == 1) return {};
  return v.back() == v[0] ? v.substr(1, v.size() - 2) : v;
}

// A tag's name ends at a blank (a form feed too, as in browsers) or a "/".
bool EndsName(char c) {
  return IsHtmlSpace(c) || c == '/';
}

// The attribute text after a tag's name: "/" there only separates, as in
// <img/src=a.gif>.
std::string_view SkipSlashes(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && (IsHtmlSpace(s[i]) || s[i] == '/')) ++i;
  return s.substr(i);
}

// One attribute of a tag as the scanner completes it: a name with the value
// that followed its "=", or a bare name.
struct Attribute {
  std::string_view name;
  std::string_view value;  // as written, quotes included
  bool hasValue = false;
};

// The attribute scanner: the WaitWord / WaitEqual / WaitParameter machine
// over the tokens of one tag, one completed attribute per step. Both passes
// of the rewriter run it (the first with the trace, the rebuild without),
// so they cannot disagree about what an attribute is.
//
// Tokens are taken one ahead, so that the last one is known as such: a "/"
// standing alone at the end (after a blank, or right after a closed quoted
// value) closes an XHTML-style tag. It is no attribute, and the additions go
// in front of it.
class AttributeScanner {
 public:
  AttributeScanner(std::string_view tag, std::string_view attributes, const Tracer& trace)
      : tag_(tag), tokens_(tag, attributes), trace_(trace) {
    haveHeld_ = tokens_.Next(held_, Slice::Name);
  }

  // The next attribute, false when the tag has no more.
  bool Next(Attribute& out) {
    while (haveHeld_) {
      const bool haveNext = tokens_.Next(next_, After(held_));
      if (!haveNext && IsClosingSlash()) {
        selfClosing_ = true;
        slashAt_ = held_.offset;
        haveHeld_ = false;
        break;
      }
      const bool done = Step(held_, out);
      held_ = next_;
      haveHeld_ = haveNext;
      if (done) return true;
    }
    // The tokens ran out: a name still waiting for its value (or for its
    // "=") stands bare.
    if (state_ == ScanState::WaitWord) return false;
    if (state_ == ScanState::WaitParameter) danglingAt_ = keywordAt_;
    state_ = ScanState::WaitWord;
    out = {keyword_, {}, false};
    return true;
  }

  // True once any token was read: an IMG tag with no attributes at all (or
  // only the closing slash) is no tag to rewrite.
  bool Any() const { return any_; }
  bool SelfClosing() const { return selfClosing_; }
  size_t SlashAt() const { return slashAt_; }
  // Where the name stands whose "=" ends the tag with no value after it
  // (alt= at the end), or 0. A browser would take whatever came next for
  // its value, so nothing may be appended behind it.
  size_t DanglingAt() const { return danglingAt_; }

 private:
  // Where the token after `t` stands, `t` being the token the machine
  // takes next.
  Slice After(const Tokens::Token& t) const {
    if (IsSlash(t)) return Slice::Name;  // after "/" a "=" begins a name
    switch (state_) {
      case ScanState::WaitWord:
        return Slice::AfterName;
      case ScanState::WaitEqual:
        return t.text == "=" ? Slice::Value : Slice::AfterName;
      case ScanState::WaitParameter:
        break;
    }
    return Slice::Name;
  }

  // A "/" outside a value; where a value begins it is the value "/"
  // (<img src= />).
  static bool IsSlash(const Tokens::Token& t) { return t.text == "/" && t.where != Slice::Value; }

  // The last token a "/" outside a value: it closes the tag.
  bool IsClosingSlash() const { return IsSlash(held_); }

  // One token through the machine; true when it completed an attribute.
  bool Step(const Tokens::Token& token, Attribute& out) {
    const std::string_view t = token.text;
    if (IsSlash(token)) {
      // A separator: it ends a name waiting for its "=".
      if (state_ != ScanState::WaitEqual) return false;
      out = {keyword_, {}, false};
      state_ = ScanState::WaitWord;
      return true;
    }
    if (!any_) trace_.Line("** FIND IMAGE TAG **");
    any_ = true;
    trace_.Join("Slice : Keyword is ", t);
    switch (state_) {
      case ScanState::WaitWord:
        trace_.Line("WaitWord");
        keyword_ = t;
        keywordAt_ = token.offset;
        state_ = ScanState::WaitEqual;
        return false;
      case ScanState::WaitEqual:
        trace_.Line("WaitEqual");
        if (t == "=") {
          state_ = ScanState::WaitParameter;
          return false;
        }
        out = {keyword_, {}, false};  // the previous attribute had no value
        keyword_ = t;
        keywordAt_ = token.offset;
        return true;
      case ScanState::WaitParameter:
        trace_.Join("WaitParameter : ", keyword_, " is ", t);
        out = {keyword_, t, true};
        state_ = ScanState::WaitWord;
        return true;
    }
    return false;
  }

  std::string_view tag_;
  Tokens tokens_;
  const Tracer trace_;  // one pointer, copied so its checks inline
  Tokens::Token held_{}, next_{};
  bool haveHeld_ = false;
  ScanState state_ = ScanState::WaitWord;
  std::string_view keyword_;
  size_t keywordAt_ = 0;
  bool any_ = false;
  bool selfClosing_ = false;
  size_t slashAt_ = 0;
  size_t danglingAt_ = 0;
};

// The attribute list of a tag for Parameter_OverWrite: the name, then each
// attribute after a single space, WIDTH and HEIGHT with a value left out.
void AppendRebuilt(std::string& out, std::string_view tag, std::string_view name,
                   std::string_view attributes) {
  const Tracer silent(nullptr);
  AttributeScanner scan(tag, attributes, silent);
  out.append(name);
  Attribute a;
  while (scan.Next(a)) {
    if (a.hasValue && (NameIs(a.name, "WIDTH") || NameIs(a.name, "HEIGHT"))) continue;
    out += ' ';
    out.append(a.name);
    if (a.hasValue) {
      out += '=';
      out.append(a.value);
    }
  }
}

// What the first scan learns of an IMG tag.
struct TagFacts {
  std::string_view src;                           // the first SRC value, its quotes dropped
  bool haveSrc = false;                           // a SRC with a value, empty or not
  std::optional<std::string_view> width, height;  // the first values as written
  std::optional<std::string_view> srcset;         // the first value, its quotes dropped
  bool alt = false;
  bool style = false;  // a STYLE attribute with a value
};

void Learn(TagFacts& facts, const Attribute& a) {
  // A name counts only together with a value.
  if (!a.hasValue) return;
  // When a tag gives the same attribute twice, the first value counts, as
  // in browsers. The length picks the one name worth comparing.
  switch (a.name.size()) {
    case 3:
      if (NameIs(a.name, "SRC")) {
        if (facts.haveSrc) return;
        facts.haveSrc = true;
        facts.src = Unquoted(a.value);
      } else if (NameIs(a.name, "ALT")) {
        facts.alt = true;
      }
      break;
    case 5:
      if (!facts.width && NameIs(a.name, "WIDTH")) facts.width = a.value;
      if (NameIs(a.name, "STYLE")) facts.style = true;
      break;
    case 6:
      if (!facts.height && NameIs(a.name, "HEIGHT")) facts.height = a.value;
      if (!facts.srcset && NameIs(a.name, "SRCSET")) facts.srcset = Unquoted(a.value);
      break;
    default:
      break;
  }
}

// The pixel count a browser reads from a WIDTH or HEIGHT value: one pair of
// quotes dropped, leading blanks skipped, then 1 to 9 digits (whatever
// follows them, "px" or a fraction, is ignored). None, and why, for a
// percentage, for a value that does not begin with a digit, or for one too
// long to be a size.
struct Pixels {
  std::optional<uint64_t> count;
  MissReason problem = MissReason::NotANumber;
};

Pixels PixelCount(std::string_view value) {
  if (IsClosedQuote(value)) value = value.substr(1, value.size() - 2);
  size_t i = 0;
  while (i < value.size() && IsHtmlSpace(value[i])) ++i;
  uint64_t n = 0;
  const size_t first = i;
  for (; i < value.size() && IsAsciiDigit(value[i]); ++i) {
    if (i - first == 9) return {std::nullopt, MissReason::TooLarge};
    n = n * 10 + static_cast<uint64_t>(value[i] - '0');
  }
  if (i == first) return {std::nullopt, MissReason::NotANumber};
  if (i < value.size() && value[i] == '.') {
    ++i;
    while (i < value.size() && IsAsciiDigit(value[i])) ++i;
  }
  if (i < value.size() && value[i] == '%') return {std::nullopt, MissReason::Percentage};
  return {n};
}

// The side a browser computes from the given one, keeping the picture's
// proportions: given * to / from, rounded halves up, exactly. None, and
// why, for a picture with no side to scale by, or a side too large.
Pixels Proportional(uint64_t given, int32_t to, int32_t from) {
  if (from <= 0 || to < 0) return {std::nullopt, MissReason::NoSize};
  const uint64_t twice = 2 * given * static_cast<uint64_t>(to) + static_cast<uint64_t>(from);
  const uint64_t side = twice / (2 * static_cast<uint64_t>(from));
  if (side > 0x7FFFFFFF) return {std::nullopt, MissReason::TooLarge};
  return {side};
}

// The other side of a tag that gives one (`given`, named `name`), or why it
// cannot be had.
std::optional<int32_t> OtherSide(std::string_view given, std::string_view name, int32_t to,
                                 int32_t from, TagMiss& why) {
  Pixels p = PixelCount(given);
  if (p.count) p = Proportional(*p.count, to, from);
  if (p.count) return static_cast<int32_t>(*p.count);
  why.reason = p.problem;
  why.detail = name;
  return std::nullopt;
}

// Whether a WIDTH or HEIGHT value as written already gives `n` as this run
// writes it: between double quotes with Parameter_QuoteWrite, else bare or
// between a pair of quotes of either kind.
bool Gives(std::optional<std::string_view> value, int32_t n, bool quoted) {
  if (!value) return false;
  std::string_view v = *value;
  if (IsClosedQuote(v) && (v[0] == '"' || !quoted)) {
    v = v.substr(1, v.size() - 2);
  } else if (quoted) {
    return false;
  }
  char digits[16];
  const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
  return v == std::string_view(digits, static_cast<size_t>(end - digits));
}

void AppendSize(std::string& out, std::string_view name, std::string_view quote, int32_t value) {
  out += ' ';
  out.append(name);
  out += '=';
  out.append(quote);
  AppendNumber(out, value);
  out.append(quote);
}

// The sides a measured tag gets.
struct Sides {
  bool width = false, height = false;
};

// Appends the sides a measured tag lacks. With one side given, the other
// keeps the picture's proportions, as a browser would show it; a side it
// cannot follow (a percentage) gets nothing, and `why` says so. A tag to be
// rebuilt whose sides already say what the rebuild would write (a tag of an
// earlier run) gets none either: it is not rebuilt, so a second run changes
// no byte.
Sides AppendSides(std::string& additions, const TagFacts& facts, const ProbeResult& size,
                  bool hasWidth, bool hasHeight, bool rebuilding, bool quoted, TagMiss& why) {
  // The probe's sides are at most kLargestSide.
  const int32_t pictureWidth = static_cast<int32_t>(size.width);
  const int32_t pictureHeight = static_cast<int32_t>(size.height);
  int32_t width = pictureWidth, height = pictureHeight;
  Sides sides{true, true};
  if (hasWidth || hasHeight) {
    const std::optional<int32_t> other =
        hasWidth ? OtherSide(*facts.width, "WIDTH", pictureHeight, pictureWidth, why)
                 : OtherSide(*facts.height, "HEIGHT", pictureWidth, pictureHeight, why);
    sides = {!hasWidth && other.has_value(), hasWidth && other.has_value()};
    (hasWidth ? height : width) = other.value_or(0);
  } else if (rebuilding && Gives(facts.width, pictureWidth, quoted) &&
             Gives(facts.height, pictureHeight, quoted)) {
    return {};
  }
  const std::string_view quote = quoted ? "\"" : "";
  if (sides.width) AppendSize(additions, "width", quote, width);
  if (sides.height) AppendSize(additions, "height", quote, height);
  return sides;
}

// The picture whose size a tag shows on a screen of density 1, as a
// browser picks it: the srcset's 1x candidate (a candidate without a
// descriptor is one), else SRC, else the candidate of the lowest density
// above 1 (of the highest below, when there is none above), whose size is
// then divided by its density. A srcset that gives widths leaves the size to
// the screen (the `sizes` slot the page gives it), so no picture stands for
// it.
struct PictureChoice {
  std::string_view url;
  double density = 1;
  bool widths = false;
};

// A browser splits a srcset once its character references are decoded, so
// "a.gif 1x&#44; b.gif 2x" is two candidates. The URL chosen is handed on as
// the page writes it, like any SRC, so that it is decoded once, when it is
// read as a name.
PictureChoice ChoosePicture(const TagFacts& facts) {
  if (!facts.srcset) return {facts.src};
  const std::string_view raw = *facts.srcset;
  std::string_view srcset = raw;
  std::string decoded;
  std::vector<size_t> from;  // where each decoded byte stands in `raw`
  if (raw.find('&') != std::string_view::npos) {
    decoded = DecodeReferences(raw, &from);
    srcset = decoded;
  }
  const auto text = [&](std::string_view url) {
    if (from.empty()) return url;
    const auto begin = static_cast<size_t>(url.data() - decoded.data());
    return raw.substr(from[begin], from[begin + url.size()] - from[begin]);
  };
  const std::vector<SrcsetCandidate> candidates = ParseSrcset(srcset);
  const SrcsetCandidate* above = nullptr;  // the lowest density above 1
  const SrcsetCandidate* below = nullptr;  // the highest below 1
  // Of two candidates at one density, browsers take the first.
  for (const SrcsetCandidate& c : candidates) {
    if (c.hasWidth) return {text(candidates[0].url), 1, true};  // it names the alt text only
    if (c.density > 1 && (above == nullptr || c.density < above->density)) above = &c;
    if (c.density < 1 && (below == nullptr || c.density > below->density)) below = &c;
  }
  for (const SrcsetCandidate& c : candidates) {
    if (c.density == 1) return {text(c.url)};
  }
  if (!facts.src.empty()) return {facts.src};
  const SrcsetCandidate* chosen = above != nullptr ? above : below;
  if (chosen == nullptr) return {};
  return {text(chosen->url), chosen->density};
}

// A picture's size shown at `density`: both sides divided by it, when both
// divide exactly. A browser would show a fraction of a pixel otherwise,
// which no written size gives.
bool DivideByDensity(ProbeResult& size, double density) {
  if (density == 1) return true;
  if (!(density > 0)) return false;
  for (uint32_t* side : {&size.width, &size.height}) {
    const double shown = static_cast<double>(*side) / density;
    const double whole = std::round(shown);
    if (std::fabs(whole * density - static_cast<double>(*side)) > 1e-9 * (1 + *side)) return false;
    *side = static_cast<uint32_t>(whole);
  }
  return true;
}

// The size of the picture `choice` names, or why there is none.
ProbeResult MeasureChoice(const PictureChoice& choice, const RewriteContext& context,
                          std::string& path, TagMiss& why) {
  ProbeResult size;
  if (choice.widths) {
    why.reason = MissReason::SrcsetWidths;
    return size;
  }
  if (choice.url.empty()) return size;
  why.src = choice.url;
  size = (*context.find)(choice.url, path);
  if (!size.Found()) {
    why.reason = size.reason;
    why.extension = size.extension;
  } else if (!DivideByDensity(size, choice.density)) {
    size.reason = MissReason::NoSize;
    why.reason = MissReason::DensityNotExact;
    why.extension = size.extension;
  }
  return size;
}

// The result: the tag as it came with the additions where a browser reads
// them as attributes of their own (in front of a closing slash, and in front
// of a name whose "=" ends the tag, which would take " width=120" for its
// value), or the rebuilt attribute list followed by them.
void Compose(std::string& result, std::string_view tag, std::string_view name,
             std::string_view attributes, std::string_view additions, const AttributeScanner& scan,
             bool rebuild) {
  // Room for the whole result at once: a tag can be as large as the
  // document, and growing a copy of it would hold it three times.
  result.clear();
  result.reserve(tag.size() + additions.size() + 2);
  if (rebuild) {
    AppendRebuilt(result, tag, name, attributes);
    result += additions;
    if (scan.SelfClosing()) result += " /";
    return;
  }
  const size_t at = scan.DanglingAt() != 0 ? scan.DanglingAt()
                    : scan.SelfClosing()   ? scan.SlashAt()
                                           : tag.size();
  size_t end = at;
  if (at < tag.size()) {
    while (end > 0 && IsHtmlSpace(tag[end - 1])) --end;
  }
  result.assign(tag.substr(0, end));
  result += additions;
  if (at < tag.size()) {
    result += ' ';
    result += tag.substr(at);
  }
}

}  // namespace

bool SplitTagNamed(std::string_view tag, std::string_view upperName, std::string_view& name,
                   std::string_view& attributes) {
  // The tag between its first and last byte that is no white space.
  size_t first = 0, last = tag.size();
  while (first < last && IsHtmlSpace(tag[first])) ++first;
  while (last > first && IsHtmlSpace(tag[last - 1])) --last;
  const std::string_view body = tag.substr(first, last - first);
  // The name ends at the first blank or "/"; a tag with nothing after its
  // name has no attributes and is no tag worth looking at. Checking the
  // name's bytes first keeps the common case (any other tag) to a few
  // compares.
  const size_t n = upperName.size();
  if (body.size() <= n || !EndsName(body[n]) || !NameIs(body.substr(0, n), upperName)) {
    return false;
  }
  name = body.substr(0, n);
  attributes = SkipSlashes(body.substr(n + 1));
  return true;
}

bool SplitImageTag(std::string_view tag, std::string_view& name, std::string_view& attributes) {
  return SplitTagNamed(tag, "IMG", name, attributes);
}

bool AttributeValue(std::string_view tag, std::string_view upperName, std::string_view& value) {
  size_t first = 0, last = tag.size();
  while (first < last && IsHtmlSpace(tag[first])) ++first;
  while (last > first && IsHtmlSpace(tag[last - 1])) --last;
  const std::string_view body = tag.substr(first, last - first);
  size_t nameEnd = 0;
  while (nameEnd < body.size() && !EndsName(body[nameEnd])) ++nameEnd;
  if (nameEnd == body.size()) return false;
  const Tracer silent(nullptr);
  AttributeScanner scan(tag, SkipSlashes(body.substr(nameEnd + 1)), silent);
  Attribute a;
  while (scan.Next(a)) {
    if (a.hasValue && NameIs(a.name, upperName)) {
      value = Unquoted(a.value);
      return true;
    }
  }
  return false;
}

bool FormatImageTag(std::string_view tag, const RewriteContext& context, std::string& result) {
  const ProcessingOptions& options = *context.options;
  const Tracer trace(context.trace);
  std::string_view name, attributes;
  if (!SplitTagNamed(tag, context.pictureSource ? "SOURCE" : "IMG", name, attributes)) {
    return false;
  }

  // Scan: what the tag says of its picture.
  AttributeScanner scan(tag, attributes, trace);
  TagFacts facts;
  Attribute a;
  while (scan.Next(a)) Learn(facts, a);
  if (!scan.Any()) return false;  // no attributes, or the closing slash alone
  if (context.pictureSource) {
    facts.src = {};
    facts.haveSrc = false;
  }

  // Measure, unless the tag has both sides already. A rebuilt tag drops its
  // own WIDTH and HEIGHT, so it always wants both.
  const bool rebuilding = options.Parameter_OverWrite;
  const bool hasWidth = facts.width && !rebuilding;
  const bool hasHeight = facts.height && !rebuilding;
  RewriteScratch localScratch;
  RewriteScratch& scratch = context.scratch != nullptr ? *context.scratch : localScratch;
  TagMiss why{true, MissReason::EmptySrc, ImageKind::None, facts.src, {}, {}, 0};
  if (facts.src.empty() && facts.srcset) why.src = *facts.srcset;
  ProbeResult size;
  const PictureChoice choice = ChoosePicture(facts);
  if (!context.unsizedSource.empty()) {
    why.reason = MissReason::SourceUnsized;
    why.detail = context.unsizedSource;
  } else if (!(hasWidth && hasHeight)) {
    size = MeasureChoice(choice, context, scratch.path, why);
    // A source's sides are its picture's IMG's once chosen: it is judged by
    // the styles that apply to any IMG, whatever its attributes.
    const std::string_view styled = context.pictureSource ? std::string_view("img") : tag;
    if (size.Found() && context.styles != nullptr &&
        (*context.styles)(styled, facts.style && !context.pictureSource, why)) {
      size = {};  // a written side would distort the picture
    }
  }

  // Additions: the sides the tag lacks, then the alt text.
  std::string& additions = scratch.additions;
  additions.clear();
  const Sides added = size.Found()
                          ? AppendSides(additions, facts, size, hasWidth, hasHeight, rebuilding,
                                        options.Parameter_QuoteWrite || context.xhtml, why)
                          : Sides{};
  const bool measured = added.width || added.height;
  if (!facts.alt && options.AddALTAttribute && !context.pictureSource) {
    additions += " alt=\"";
    AppendAltValue(additions, AltTextOf(facts.src.empty() ? choice.url : facts.src));
    additions += '"';
  }
  // Every tag with a SRC that is left without both sides is told of; one
  // whose picture gave no size keeps its own WIDTH and HEIGHT.
  const bool bothSides = (added.width || hasWidth || (facts.width && !measured)) &&
                         (added.height || hasHeight || (facts.height && !measured));
  if (context.miss != nullptr) {
    *context.miss = why;
    context.miss->missed =
        (facts.haveSrc || (facts.srcset && !facts.srcset->empty())) && !bothSides;
  }
  const bool changed = !additions.empty();

  // Compose. Only a measured tag is rebuilt: one whose picture gave no size
  // keeps its own WIDTH and HEIGHT.
  if (changed) Compose(result, tag, name, attributes, additions, scan, rebuilding && measured);
  trace.Join("** Result : ", changed ? std::string_view(result) : tag, " **");
  return changed;
}

}  // namespace tamarind
