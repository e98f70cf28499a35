#include "css/PageStyles.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "Ascii.h"
#include "html/TagRewriter.h"
#include "html/Tokenizer.h"

namespace tamarind::css {
namespace {

// A stylesheet larger than this is no stylesheet worth reading for sides.
constexpr off_t kLargestSheet = 16 * 1024 * 1024;

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

bool ReadWhole(const std::string& path, const struct stat& st, std::string& out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  out.resize(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < out.size()) {
    const ssize_t n = ::read(fd, out.data() + got, out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  out.resize(got);
  return true;
}

// A tag name ends at a blank, "/" or ">".
bool EndsName(char c) {
  return IsHtmlSpace(c) || c == '/' || c == '>';
}

// Where "</style" (any case) followed by the end of its name stands in
// `text` from `from`, or npos; `cut`: the text ends in the middle of one.
size_t FindStyleEnd(std::string_view text, size_t from, bool& cut) {
  cut = false;
  for (size_t i = text.find("</", from); i != std::string_view::npos; i = text.find("</", i + 2)) {
    if (i + 8 > text.size()) {
      cut = StartsWithIgnoringAsciiCase(std::string_view("style").substr(0, text.size() - i - 2),
                                        text.substr(i + 2));
      if (cut) return std::string_view::npos;
      continue;
    }
    if (StartsWithIgnoringAsciiCase(text.substr(i + 2), "style") && EndsName(text[i + 7])) return i;
  }
  return std::string_view::npos;
}

uint32_t LinesIn(std::string_view text) {
  return static_cast<uint32_t>(std::count(text.begin(), text.end(), '\n'));
}

}  // namespace

bool NamesStyleSheet(std::string_view text) {
  for (size_t i = text.find('<'); i != std::string_view::npos; i = text.find('<', i + 1)) {
    const std::string_view rest = text.substr(i + 1);
    if (StartsWithIgnoringAsciiCase(rest, "style") || StartsWithIgnoringAsciiCase(rest, "link")) {
      return true;
    }
  }
  return false;
}

std::shared_ptr<const LoadedSheet> StyleSheetCache::Get(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kLargestSheet) {
    return nullptr;
  }
  const auto known = byPath_.find(path);
  if (known != byPath_.end() && SameFile(known->second.status, st)) return known->second.sheet;
  std::string text;
  if (!ReadWhole(path, st, text)) return nullptr;
  auto sheet = std::make_shared<LoadedSheet>(LoadedSheet{path, ParseStyleSheet(text)});
  byPath_[path] = Entry{st, sheet};
  return sheet;
}

void PageStyles::Clear() {
  sheets_.clear();
  notes_.clear();
}

void PageStyles::AddImports(const StyleSheet& sheet, std::string_view base, StyleSheetCache& cache,
                            const Resolver& resolve) {
  for (const std::string& href : sheet.imports) AddFile(href, base, cache, resolve, false);
}

void PageStyles::AddFile(std::string_view href, std::string_view base, StyleSheetCache& cache,
                         const Resolver& resolve, bool followImports) {
  std::string why;
  const std::string path = resolve(href, base, why);
  std::shared_ptr<const LoadedSheet> file = path.empty() ? nullptr : cache.Get(path);
  if (!file) {
    notes_.push_back(
        (why.empty() ? "no stylesheet at " + (path.empty() ? std::string(href) : path) : why) +
        ": not read");
    return;
  }
  // The imported sheets come first, as they stand at the sheet's top. An
  // @import of an imported sheet is not followed: one level is read.
  if (followImports) {
    const size_t slash = path.rfind('/');
    const std::string folder =
        slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    AddImports(file->sheet, folder, cache, resolve);
  }
  if (!file->sheet.rules.empty()) sheets_.push_back({file, {}});
}

void PageStyles::AddStyleElement(std::string_view text, uint32_t line, std::string_view base,
                                 StyleSheetCache& cache, const Resolver& resolve) {
  StyleSheet sheet = ParseStyleSheet(text, line);
  AddImports(sheet, base, cache, resolve);
  if (!sheet.rules.empty()) sheets_.push_back({nullptr, std::move(sheet)});
}

void PageStyles::AddLink(std::string_view tag, std::string_view base, StyleSheetCache& cache,
                         const Resolver& resolve) {
  std::string_view rel, href;
  if (!AttributeValue(tag, "REL", rel) || !AttributeValue(tag, "HREF", href)) return;
  // rel is a list of words: "stylesheet", "alternate stylesheet".
  bool stylesheet = false;
  size_t i = 0;
  while (i < rel.size()) {
    while (i < rel.size() && IsHtmlSpace(rel[i])) ++i;
    size_t j = i;
    while (j < rel.size() && !IsHtmlSpace(rel[j])) ++j;
    stylesheet = stylesheet || EqualsIgnoringAsciiCase(rel.substr(i, j - i), "stylesheet");
    i = j;
  }
  if (stylesheet) AddFile(href, base, cache, resolve, true);
}

StyleFix PageStyles::Check(std::string_view tag, bool styled) const {
  // The tag's attributes, looked up as the rules ask; class and id, asked
  // by most rules, once.
  std::optional<std::optional<std::string_view>> classes, id;
  const AttributeLookup lookup = [&](std::string_view name) -> std::optional<std::string_view> {
    std::optional<std::optional<std::string_view>>* memo = name == "class" ? &classes
                                                           : name == "id"  ? &id
                                                                           : nullptr;
    if (memo != nullptr && memo->has_value()) return **memo;
    std::string_view value;
    std::optional<std::string_view> found;
    if (AttributeValue(tag, name, value)) found = value;
    if (memo != nullptr) *memo = found;
    return found;
  };
  using What = StyleFix::What;
  Sides sides;
  StyleFix widthAt, heightAt, ratioAt;
  std::string_view own;
  if (styled && AttributeValue(tag, "STYLE", own)) {
    sides = ParseDeclarations(own);
    if (sides.widthFixedAt != 0) widthAt = {true, What::Width, {}, 0};
    if (sides.heightFixedAt != 0) heightAt = {true, What::Height, {}, 0};
    if (sides.ratioFixedAt != 0) ratioAt = {true, What::Ratio, {}, 0};
  }
  for (const Sheet& s : sheets_) {
    const std::string_view file = s.file ? std::string_view(s.file->path) : std::string_view();
    for (const SideRule& rule : s.Rules().rules) {
      bool may = false, sure = false;
      for (const Compound& c : rule.targets) {
        if (!Matches(c, lookup)) continue;
        may = true;
        sure = c.alone && !rule.conditional;
        if (sure) break;
      }
      if (!may) continue;
      // Only a rule that surely applies gives a side; one that may apply
      // fixes it all the same.
      if (sure) {
        sides.widthGiven = sides.widthGiven || rule.sides.widthGiven;
        sides.heightGiven = sides.heightGiven || rule.sides.heightGiven;
      }
      if (!widthAt.fixes && rule.sides.widthFixedAt != 0) {
        widthAt = {true, What::Width, file, rule.sides.widthFixedAt};
      }
      if (!heightAt.fixes && rule.sides.heightFixedAt != 0) {
        heightAt = {true, What::Height, file, rule.sides.heightFixedAt};
      }
      if (!ratioAt.fixes && rule.sides.ratioFixedAt != 0) {
        ratioAt = {true, What::Ratio, file, rule.sides.ratioFixedAt};
      }
    }
  }
  if (widthAt.fixes && !sides.heightGiven) return widthAt;
  if (heightAt.fixes && !sides.widthGiven) return heightAt;
  // A box's ratio makes the written height (the width then follows it) win
  // over the picture's proportions, unless a style gives the height.
  if (ratioAt.fixes && !sides.heightGiven) return ratioAt;
  return {};
}

void StyleScan::Feed(std::string_view piece, bool last) {
  if (carry_.empty()) {
    const size_t done = Scan(piece, last);
    carry_.assign(piece.substr(done));
    return;
  }
  carry_.append(piece);
  const size_t done = Scan(carry_, last);
  carry_.erase(0, done);
}

size_t StyleScan::Scan(std::string_view text, bool last) {
  size_t i = 0;
  size_t counted = 0;  // line_ is the line of text[counted]
  const auto lineAt = [&](size_t at) {
    line_ += LinesIn(text.substr(counted, at - counted));
    counted = at;
    return line_;
  };
  const auto stop = [&](size_t at) {
    lineAt(at);
    return at;
  };
  for (;;) {
    const size_t p = text.find('<', i);
    if (p == std::string_view::npos) return stop(text.size());
    // "<style" or "<link", and the byte that ends the name.
    const std::string_view rest = text.substr(p + 1);
    const bool style = StartsWithIgnoringAsciiCase(rest, "style");
    const bool link = !style && StartsWithIgnoringAsciiCase(rest, "link");
    const size_t nameEnd = p + 1 + (style ? 5 : 4);
    if (!style && !link) {
      if (!last && rest.size() < 5) return stop(p);  // may be cut in the middle
      i = p + 1;
      continue;
    }
    if (nameEnd >= text.size()) {
      if (last) return stop(text.size());
      return stop(p);
    }
    if (!EndsName(text[nameEnd])) {
      i = nameEnd;
      continue;
    }
    const TagExtent tag = ReadTag(text, p);
    if (!tag.closed && !last) return stop(p);
    const std::string_view tagText = text.substr(p + 1, tag.end - p - (tag.closed ? 2 : 1));
    if (link) {
      link_(tagText);
      i = tag.end;
      continue;
    }
    bool cut = false;
    const size_t end = FindStyleEnd(text, tag.end, cut);
    if (end == std::string_view::npos && !last) return stop(p);
    const size_t contentEnd = end == std::string_view::npos ? text.size() : end;
    style_(text.substr(tag.end, contentEnd - tag.end), lineAt(tag.end));
    i = contentEnd;
  }
}

}  // namespace tamarind::css
