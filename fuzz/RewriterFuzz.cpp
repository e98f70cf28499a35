// Fuzz target: the IMG tag rewriter on any tag text. The first byte picks the
// options (and whether the tag is to be a picture's <source>); the rest is
// the tag. The picture lookup reads no file: it knows
// the values of even length, counted with a bias that one flag adds, so that
// the same tag may be measured under one set of flags and not under another.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "html/TagRewriter.h"

namespace {

using tamarind::ProbeResult;

// HTML white space: what separates a tag's tokens and ends a word.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
}
bool IsQuote(char c) {
  return c == '"' || c == '\'';
}
bool SameLetters(std::string_view word, std::string_view upper) {
  if (word.size() != upper.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    const char c = word[i] >= 'a' && word[i] <= 'z' ? static_cast<char>(word[i] - 32) : word[i];
    if (c != upper[i]) return false;
  }
  return true;
}

// Where a token stands: a name, the "=" after a name, a value, or a "/"
// outside a value.
enum class Place { Name, Equal, Value, Slash };
struct Token {
  std::string_view text;
  Place place;
};

// The tokens of an attribute text, cut the way the rewriter promises, as a
// browser reads them: white space between tokens; after a name, "=" alone;
// after that "=", the value, quoted up to its own quote or else up to a
// blank; anything else a name, its first byte whatever it is, then up to a
// blank or "=".
std::vector<Token> Tokens(std::string_view text) {
  std::vector<Token> tokens;
  Place next = Place::Name;  // what a token here would be
  bool afterName = false;
  size_t i = 0;
  for (;;) {
    while (i < text.size() && IsBlank(text[i])) ++i;
    if (i == text.size()) return tokens;
    size_t end = i + 1;
    Place place = Place::Name;
    if (next == Place::Value) {
      place = Place::Value;
      if (IsQuote(text[i])) {
        end = text.find(text[i], i + 1);
        end = end == std::string_view::npos ? text.size() : end + 1;
      } else {
        while (end < text.size() && !IsBlank(text[end])) ++end;
      }
    } else if (afterName && text[i] == '=') {
      place = Place::Equal;
    } else if (text[i] == '/') {
      place = Place::Slash;
    } else {
      while (end < text.size() && !IsBlank(text[end]) && text[end] != '=' && text[end] != '/') {
        ++end;
      }
    }
    afterName = place == Place::Name;
    next = place == Place::Equal ? Place::Value : Place::Name;
    tokens.push_back({text.substr(i, end - i), place});
    i = end;
  }
}

// The quoted values a rebuilt tag must keep as written: all but those of
// WIDTH and HEIGHT, which it drops.
std::vector<std::string_view> KeptQuotedValues(const std::vector<Token>& tokens) {
  std::vector<std::string_view> kept;
  std::string_view name;
  for (const Token& t : tokens) {
    if (t.place == Place::Name) name = t.text;
    const bool quoted = t.text.size() >= 2 && IsQuote(t.text[0]) && t.text.back() == t.text[0];
    if (t.place == Place::Value && quoted && !SameLetters(name, "WIDTH") &&
        !SameLetters(name, "HEIGHT")) {
      kept.push_back(t.text);
    }
  }
  return kept;
}

// The name whose "=" ends the tag with no value after it, or an empty view.
// A "/" outside a value at the very end is the closing slash.
std::string_view DanglingName(std::vector<Token> tokens) {
  if (!tokens.empty() && tokens.back().place == Place::Slash) tokens.pop_back();
  if (tokens.empty() || tokens.back().place != Place::Equal) return {};
  return tokens[tokens.size() - 2].text;
}

// Whether `result` is the tag up to the blanks in front of `at`, then
// additions, then " " and the tag from `at` on.
bool InsertedBefore(std::string_view tag, size_t at, std::string_view result) {
  size_t keep = at;
  while (keep > 0 && IsBlank(tag[keep - 1])) --keep;
  const std::string tail = " " + std::string(tag.substr(at));
  return result.compare(0, keep, tag.substr(0, keep)) == 0 && result.size() >= keep + tail.size() &&
         result.compare(result.size() - tail.size(), tail.size(), tail) == 0;
}

// The attribute text of a tag's body: what follows its name, without the
// white space and slashes in front, as browsers pass over "/" there
// (<img/src=a.gif>).
std::string_view AttributeText(std::string_view body) {
  size_t i = 4;
  while (i < body.size() && (IsBlank(body[i]) || body[i] == '/')) ++i;
  return body.substr(i);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const unsigned flags = data[0];
  const std::string_view tag(reinterpret_cast<const char*>(data) + 1, size - 1);

  tamarind::ProcessingOptions options;
  options.AddALTAttribute = (flags & 1) != 0;
  options.Parameter_OverWrite = (flags & 2) != 0;
  options.Parameter_QuoteWrite = (flags & 4) != 0;
  options.Parameter_ABSFolder = (flags & 8) != 0 ? "/web" : "";
  bool probed = false, found = false;
  const tamarind::PictureLookup find = [&](std::string_view src, std::string&) {
    Check(!probed && !src.empty());
    probed = true;
    const size_t key = src.size() + ((flags & 16) != 0 ? 5 : 0);
    found = key % 2 == 0;
    ProbeResult answer;
    if (!found) return answer;
    answer.reason = tamarind::MissReason::None;
    answer.width = key % 4 == 0 ? tamarind::kLargestSide : 120;
    answer.height = key % 4 == 0 ? 1 : 45;
    return answer;
  };
  size_t traceLines = 0;
  const tamarind::TraceLog trace = [&](std::string_view) { ++traceLines; };
  // One scratch for the whole run, as the engine keeps one from tag to tag.
  static tamarind::RewriteScratch scratch;
  tamarind::RewriteContext context{&options, &find, (flags & 32) != 0 ? &trace : nullptr,
                                   (flags & 64) != 0 ? &scratch : nullptr};
  // The last flag makes the tag a <source> of a picture: only one named so
  // may change, and it never gets an alt.
  const bool source = (flags & 128) != 0;
  context.pictureSource = source;
  const std::string_view name = source ? "SOURCE" : "IMG";
  std::string result = "\x01untouched";
  const bool changed = tamarind::FormatImageTag(tag, context, result);

  // The tag between its first and last byte that is no white space; its name runs
  // to the first blank or "/".
  size_t first = 0, last = tag.size();
  while (first < last && IsBlank(tag[first])) ++first;
  while (last > first && IsBlank(tag[last - 1])) --last;
  const std::string_view body = tag.substr(first, last - first);
  size_t nameEnd = 0;
  while (nameEnd < body.size() && !IsBlank(body[nameEnd]) && body[nameEnd] != '/') {
    ++nameEnd;
  }
  if (!SameLetters(body.substr(0, nameEnd), name)) {
    Check(!changed && !probed && traceLines == 0);
  }
  if (!changed) {
    Check(result == "\x01untouched");
    return 0;
  }
  Check(found || (options.AddALTAttribute && !source));
  // What is added is two numbers of at most 11 digits with their names and
  // quotes, a closing " /" moved to the end, and an alt value whose every
  // byte may have become a six-byte entity. A rebuilt tag also puts a space
  // between tokens that touched, such as "a""b" (at most one per two bytes).
  const bool mayRebuild = options.Parameter_OverWrite && found;
  Check(result.size() <= tag.size() + (mayRebuild ? tag.size() / 2 : 0) + 64 +
                             (options.AddALTAttribute ? 6 * tag.size() + 8 : 0));

  // The tag as it came, then the additions; or the additions in front of a
  // closing "/" or of a name whose "=" ends the tag; or the tag rebuilt.
  if (result.compare(0, tag.size(), tag) == 0) return 0;
  const std::string_view dangling = DanglingName(Tokens(AttributeText(body)));
  if (!dangling.empty() &&
      InsertedBefore(tag, static_cast<size_t>(dangling.data() - tag.data()), result)) {
    return 0;
  }
  if (body.back() == '/' && InsertedBefore(tag, first + body.size() - 1, result)) return 0;
  // The name as written, then the attributes; quoted values as written.
  Check(mayRebuild);
  Check(result.compare(0, name.size(), body.substr(0, name.size())) == 0 &&
        (result.size() == name.size() || result[name.size()] == ' '));
  size_t from = 0;
  for (std::string_view value : KeptQuotedValues(Tokens(AttributeText(body)))) {
    from = result.find(value, from);
    Check(from != std::string::npos);
    from += value.size();
  }
  return 0;
}
