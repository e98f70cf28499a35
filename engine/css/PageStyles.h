// PageStyles: the stylesheets of one page, and whether they fix one side of
// an IMG.
//
// Browsers apply every stylesheet of a page, also one that stands after the
// IMG, so the page's <style> elements and <link rel="stylesheet"> tags are
// gathered before its tags are rewritten: StyleScan reads the document's
// bytes once, in pieces, and finds them. It knows no comments or scripts; a
// stylesheet it finds inside one counts all the same, which can only keep a
// tag from getting a size.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "css/StyleRules.h"

namespace tamarind::css {

// A stylesheet file's side rules, as read.
struct LoadedSheet {
  std::string path;
  StyleSheet sheet;
};

// Stylesheet files read once and kept while they stay the same (size, time,
// file), so that the pages of a site that share one sheet read it once.
// One per engine: the workers of a command each have their own.
class StyleSheetCache {
 public:
  // The sheet at `path`, or null when there is no such file or it can't be
  // read.
  std::shared_ptr<const LoadedSheet> Get(const std::string& path);

 private:
  struct Entry {
    struct stat status;
    std::shared_ptr<const LoadedSheet> sheet;
  };
  std::map<std::string, Entry, std::less<>> byPath_;
};

// What a style fixes while it leaves the rest to the written attributes,
// and where.
struct StyleFix {
  enum class What { Width, Height, Ratio };
  bool fixes = false;
  // Width: the width is fixed, the height left; Height: the other way
  // round; Ratio: the proportions are fixed, and the height not given.
  What what = What::Width;
  std::string_view file;  // the stylesheet file, empty for the page itself
  uint32_t line = 0;      // 0: the tag's own style attribute
};

class PageStyles {
 public:
  // Finds a stylesheet file by an address as the page writes it, relative
  // to `base` (a folder ending in "/", or empty); empty when the address
  // names no local file (`why` then says what it is).
  using Resolver =
      std::function<std::string(std::string_view href, std::string_view base, std::string& why)>;

  void Clear();
  // A <style> element's text, whose first byte stands on line `line` of
  // the page; its @imports are read relative to `base`.
  void AddStyleElement(std::string_view text, uint32_t line, std::string_view base,
                       StyleSheetCache& cache, const Resolver& resolve);
  // A <link> tag's text (without brackets); only a stylesheet is read.
  void AddLink(std::string_view tag, std::string_view base, StyleSheetCache& cache,
               const Resolver& resolve);
  bool Empty() const { return sheets_.empty(); }

  // What the styles say of the IMG tag `tag` (its text, without brackets;
  // `styled`: it has a style attribute).
  StyleFix Check(std::string_view tag, bool styled) const;

  void Note(std::string note) { notes_.push_back(std::move(note)); }
  // What was not read, for the report: "remote stylesheet URL: not read".
  const std::vector<std::string>& Notes() const { return notes_; }

 private:
  struct Sheet {
    std::shared_ptr<const LoadedSheet> file;  // null for a <style> element
    StyleSheet own;
    const StyleSheet& Rules() const { return file ? file->sheet : own; }
  };
  void AddFile(std::string_view href, std::string_view base, StyleSheetCache& cache,
               const Resolver& resolve, bool followImports);
  void AddImports(const StyleSheet& sheet, std::string_view base, StyleSheetCache& cache,
                  const Resolver& resolve);

  std::vector<Sheet> sheets_;
  std::vector<std::string> notes_;
};

// Finds the <style> elements and <link> tags of a document fed to it in
// pieces, in order. A piece may end anywhere; what is cut off is kept until
// the next one.
class StyleScan {
 public:
  using StyleFound = std::function<void(std::string_view text, uint32_t line)>;
  using LinkFound = std::function<void(std::string_view tag)>;
  StyleScan(StyleFound style, LinkFound link) : style_(std::move(style)), link_(std::move(link)) {}

  void Feed(std::string_view piece, bool last);

 private:
  // Looks at `text` from the start; returns how much of it is done with.
  size_t Scan(std::string_view text, bool last);

  StyleFound style_;
  LinkFound link_;
  std::string carry_;
  uint32_t line_ = 1;  // of the first byte not yet counted
};

// Whether a text holds "<style" or "<link" (any case): a page that may name
// a stylesheet.
bool NamesStyleSheet(std::string_view text);

}  // namespace tamarind::css
