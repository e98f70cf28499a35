// Reading a stylesheet into side rules: the rule lists, at-rules and blocks
// of the CSS Syntax parser over the tokens, then selectors and declarations
// read only as far as the sides of an IMG need.
#include "css/StyleRules.h"

#include "Ascii.h"
#include "css/CssTokenizer.h"

namespace tamarind::css {
namespace {

// Blocks nest at most this deep in what is read; deeper ones are skipped
// whole, so a hostile sheet of a million "{" costs no stack.
constexpr int kDeepest = 32;

bool Opens(TokenType t) {
  return t == TokenType::LeftBrace || t == TokenType::LeftBracket || t == TokenType::LeftParen ||
         t == TokenType::Function;
}
bool Closes(TokenType t) {
  return t == TokenType::RightBrace || t == TokenType::RightBracket || t == TokenType::RightParen;
}
bool IsDelim(const Token& t, char c) {
  return t.type == TokenType::Delim && t.value[0] == c;
}
bool IsIdent(const Token& t, std::string_view lowerName) {
  return t.type == TokenType::Ident && EqualsIgnoringAsciiCase(t.value, lowerName);
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

// The conditional group rules: their blocks hold rules that count as
// applying (their conditions are taken as met).
bool IsLayer(std::string_view name) {
  return EqualsIgnoringAsciiCase(name, "layer");
}

bool IsGroupRule(std::string_view name) {
  static constexpr std::string_view kGroups[] = {"media",     "supports",      "layer",
                                                 "container", "document",      "-moz-document",
                                                 "scope",     "starting-style"};
  for (const std::string_view g : kGroups) {
    if (EqualsIgnoringAsciiCase(name, g)) return true;
  }
  return false;
}

// Which side a property sets, and whether it is a bound (max- or min-):
// a bound leaves the side to the picture within it, so it gives no side.
enum class Bound { None, Max, Min };
struct SideProperty {
  bool width;
  Bound bound;
};
std::optional<SideProperty> SidePropertyOf(std::string_view name) {
  static constexpr struct {
    std::string_view name;
    SideProperty side;
  } kProperties[] = {
      {"width", {true, Bound::None}},      {"inline-size", {true, Bound::None}},
      {"height", {false, Bound::None}},    {"block-size", {false, Bound::None}},
      {"max-width", {true, Bound::Max}},   {"max-inline-size", {true, Bound::Max}},
      {"max-height", {false, Bound::Max}}, {"max-block-size", {false, Bound::Max}},
      {"min-width", {true, Bound::Min}},   {"min-inline-size", {true, Bound::Min}},
      {"min-height", {false, Bound::Min}}, {"min-block-size", {false, Bound::Min}},
  };
  for (const auto& p : kProperties) {
    if (EqualsIgnoringAsciiCase(name, p.name)) return p.side;
  }
  return std::nullopt;
}

// A number written as zero: "0", "-0.0", ".0e3".
bool IsZero(std::string_view number) {
  for (const char c : number) {
    if (c == 'e' || c == 'E') break;
    if (c != '0' && c != '.' && c != '+' && c != '-') return false;
  }
  return true;
}

// The value (one token) that leaves a side to the picture: auto for the
// side itself, none for its largest size, auto or zero for its smallest.
bool LeavesSideFree(const Token& value, Bound bound) {
  switch (bound) {
    case Bound::None:
      return IsIdent(value, "auto");
    case Bound::Max:
      return IsIdent(value, "none");
    case Bound::Min:
      return IsIdent(value, "auto") ||
             (value.type != TokenType::Ident && !value.number.empty() && IsZero(value.number));
  }
  return false;
}

class Parser {
 public:
  explicit Parser(const std::vector<Token>& tokens) : t_(tokens) {}

  // The index just past the block or function that opens at `i`.
  size_t SkipBlock(size_t i) const {
    int depth = 0;
    for (; i < t_.size(); ++i) {
      if (Opens(t_[i].type)) ++depth;
      if (Closes(t_[i].type) && --depth == 0) return i + 1;
    }
    return i;
  }

  // The end of the contents of the block that opens at `open` and ends
  // before `close`: its closing token, or `close` for a block the text
  // leaves open.
  size_t InnerEnd(size_t open, size_t close) const {
    return close > open + 1 && Closes(t_[close - 1].type) ? close - 1 : close;
  }

  // The index of the first `stop` token at the level of `i`, skipping
  // blocks; `end` when there is none.
  size_t Find(size_t i, size_t end, TokenType stop, TokenType orStop) const {
    while (i < end && t_[i].type != stop && t_[i].type != orStop) {
      i = Opens(t_[i].type) ? std::min(SkipBlock(i), end) : i + 1;
    }
    return i;
  }

  void Rules(size_t i, size_t end, int depth, bool conditional, StyleSheet& out) {
    while (i < end) {
      const TokenType type = t_[i].type;
      if (type == TokenType::Whitespace || type == TokenType::Cdo || type == TokenType::Cdc ||
          type == TokenType::Semicolon || Closes(type)) {
        ++i;
      } else if (type == TokenType::AtKeyword) {
        i = AtRule(i, end, depth, conditional, out);
      } else {
        const size_t open = Find(i, end, TokenType::LeftBrace, TokenType::LeftBrace);
        if (open == end) return;
        const size_t close = std::min(SkipBlock(open), end);
        Block(Targets(i, open, false), open + 1, InnerEnd(open, close), depth + 1, conditional,
              out);
        i = close;
      }
    }
  }

  // The declarations and nested rules of a style rule's block [i, end).
  void Block(const std::vector<Compound>& targets, size_t i, size_t end, int depth,
             bool conditional, StyleSheet& out) {
    if (depth > kDeepest) return;
    SideRule rule{targets, {}, conditional};
    while (i < end) {
      const TokenType type = t_[i].type;
      if (type == TokenType::Whitespace || type == TokenType::Semicolon) {
        ++i;
        continue;
      }
      const size_t stop = Find(i, end, TokenType::Semicolon, TokenType::LeftBrace);
      if (stop < end && t_[stop].type == TokenType::LeftBrace) {
        // A nested rule, or a nested @media: its own rule, its own sides.
        const size_t close = std::min(SkipBlock(stop), end);
        const bool group = type == TokenType::AtKeyword && IsGroupRule(t_[i].value);
        if (type != TokenType::AtKeyword || group) {
          const std::vector<Compound> inner = group ? targets : Targets(i, stop, true);
          Block(inner, stop + 1, InnerEnd(stop, close), depth + 1,
                conditional || (group && !IsLayer(t_[i].value)), out);
        }
        i = close;
        continue;
      }
      Declaration(i, stop, rule.sides);
      i = stop;
    }
    if (!targets.empty() && rule.sides.Any()) out.rules.push_back(std::move(rule));
  }

  // One declaration [i, end): name ":" value.
  void Declaration(size_t i, size_t end, Sides& sides) const {
    if (i >= end || t_[i].type != TokenType::Ident) return;
    const std::optional<SideProperty> side = SidePropertyOf(t_[i].value);
    const bool ratio = !side && EqualsIgnoringAsciiCase(t_[i].value, "aspect-ratio");
    const uint32_t line = t_[i].line;
    size_t k = i + 1;
    while (k < end && t_[k].type == TokenType::Whitespace) ++k;
    if ((!side && !ratio) || k >= end || t_[k].type != TokenType::Colon) return;
    ++k;
    // The value, blanks and "!important" dropped.
    while (k < end && t_[k].type == TokenType::Whitespace) ++k;
    size_t last = end;
    while (last > k && t_[last - 1].type == TokenType::Whitespace) --last;
    if (last > k && IsIdent(t_[last - 1], "important")) {
      size_t bang = last - 1;
      while (bang > k && t_[bang - 1].type == TokenType::Whitespace) --bang;
      if (bang > k && IsDelim(t_[bang - 1], '!')) last = bang - 1;
      while (last > k && t_[last - 1].type == TokenType::Whitespace) --last;
    }
    if (last <= k) return;  // no value: the declaration is dropped
    if (ratio) {
      if (!KeepsNaturalRatio(k, last) && sides.ratioFixedAt == 0) sides.ratioFixedAt = line;
      return;
    }
    const bool free = last == k + 1 && LeavesSideFree(t_[k], side->bound);
    if (side->bound == Bound::None) (side->width ? sides.widthGiven : sides.heightGiven) = true;
    uint32_t& fixedAt = side->width ? sides.widthFixedAt : sides.heightFixedAt;
    if (!free && fixedAt == 0) fixedAt = line;
  }

  // Whether an aspect-ratio value [k, last) leaves a picture its own
  // proportions: one with "auto" in it does, and so do the keywords that
  // come back to the initial auto. Any other ratio is the box's, whatever
  // the picture's.
  bool KeepsNaturalRatio(size_t k, size_t last) const {
    for (size_t j = k; j < last; ++j) {
      if (IsIdent(t_[j], "auto")) return true;
    }
    if (last != k + 1) return false;
    for (const std::string_view keyword : {"initial", "unset", "revert", "revert-layer"}) {
      if (IsIdent(t_[k], keyword)) return true;
    }
    return false;
  }

  size_t AtRule(size_t i, size_t end, int depth, bool conditional, StyleSheet& out) {
    const std::string& name = t_[i].value;
    const size_t stop = Find(i + 1, end, TokenType::Semicolon, TokenType::LeftBrace);
    if (stop == end || t_[stop].type == TokenType::Semicolon) {
      if (depth == 0 && EqualsIgnoringAsciiCase(name, "import")) Import(i + 1, stop, out);
      return stop == end ? end : stop + 1;
    }
    const size_t close = std::min(SkipBlock(stop), end);
    if (IsGroupRule(name) && depth < kDeepest) {
      Rules(stop + 1, InnerEnd(stop, close), depth + 1, conditional || !IsLayer(name), out);
    }
    return close;
  }

  void Import(size_t i, size_t end, StyleSheet& out) const {
    for (; i < end; ++i) {
      const Token& t = t_[i];
      if (t.type == TokenType::Url || t.type == TokenType::String) {
        out.imports.push_back(t.value);
        return;
      }
      if (t.type == TokenType::Function && EqualsIgnoringAsciiCase(t.value, "url")) continue;
      if (t.type != TokenType::Whitespace) return;
    }
  }

  // The compounds of a selector list [i, end) that can match an IMG.
  // `nested`: the rule stands inside another, whose selector is its
  // ancestor or the compound itself.
  std::vector<Compound> Targets(size_t i, size_t end, bool nested) const {
    std::vector<Compound> targets;
    while (i <= end) {
      const size_t comma = Find(i, end, TokenType::Comma, TokenType::Comma);
      std::optional<Compound> c = LastCompound(i, comma);
      if (c && nested) c->alone = false;
      if (c) targets.push_back(std::move(*c));
      i = comma + 1;
    }
    return targets;
  }

  std::optional<Compound> LastCompound(size_t i, size_t end) const;
  void Attribute(size_t i, size_t end, Compound& c) const;

 private:
  const std::vector<Token>& t_;
};

std::optional<Compound> Parser::LastCompound(size_t i, size_t end) const {
  Compound c;
  bool canMatch = true;
  bool any = false;
  bool startNew = false;
  for (; i < end; ++i) {
    const Token& t = t_[i];
    if (t.type == TokenType::Whitespace || IsDelim(t, '>') || IsDelim(t, '+') || IsDelim(t, '~')) {
      startNew = any;
      continue;
    }
    if (startNew) {
      c = {};
      c.alone = false;
      canMatch = true;
      startNew = false;
    }
    any = true;
    const bool namespaced = i + 1 < end && IsDelim(t_[i + 1], '|');
    if (t.type == TokenType::Ident) {
      if (namespaced) {
        ++i;
      } else if (!EqualsIgnoringAsciiCase(t.value, "img")) {
        canMatch = false;
      }
    } else if (IsDelim(t, '*')) {
      if (namespaced) ++i;
    } else if (t.type == TokenType::Hash) {
      c.ids.push_back(t.value);
    } else if (IsDelim(t, '.') && i + 1 < end && t_[i + 1].type == TokenType::Ident) {
      c.classes.push_back(t_[++i].value);
    } else if (t.type == TokenType::LeftBracket) {
      const size_t close = std::min(SkipBlock(i), end);
      Attribute(i + 1, InnerEnd(i, close), c);
      i = close - 1;
    } else if (t.type == TokenType::Colon) {
      // A pseudo-element is no box of the IMG itself; a pseudo-class is
      // taken as matching.
      const bool element = i + 1 < end && t_[i + 1].type == TokenType::Colon;
      if (element) ++i;
      c.alone = false;
      if (i + 1 < end) {
        const Token& p = t_[i + 1];
        if (element || IsIdent(p, "before") || IsIdent(p, "after") || IsIdent(p, "first-line") ||
            IsIdent(p, "first-letter")) {
          canMatch = false;
        }
        i = p.type == TokenType::Function ? std::min(SkipBlock(i + 1), end) - 1 : i + 1;
      }
    } else if (Opens(t.type)) {
      i = std::min(SkipBlock(i), end) - 1;
    } else if (IsDelim(t, '&')) {
      c.alone = false;
    }
  }
  if (!any || !canMatch) return std::nullopt;
  return c;
}

// An attribute selector's inside [i, end).
void Parser::Attribute(size_t i, size_t end, Compound& c) const {
  std::vector<const Token*> parts;
  for (size_t k = i; k < end; ++k) {
    if (t_[k].type != TokenType::Whitespace) parts.push_back(&t_[k]);
  }
  size_t p = 0;
  // [ns|name], [*|name], [|name]
  if (parts.size() > p + 1 && IsDelim(*parts[p + 1], '|') &&
      !(parts.size() > p + 2 && IsDelim(*parts[p + 2], '='))) {
    p += 2;
  } else if (!parts.empty() && IsDelim(*parts[0], '|')) {
    p = 1;
  }
  if (p >= parts.size() || parts[p]->type != TokenType::Ident) return;
  AttributeTest test{Lower(parts[p]->value), 0, {}};
  ++p;
  if (p < parts.size() && IsDelim(*parts[p], '=')) {
    test.op = '=';
    ++p;
  } else if (p + 1 < parts.size() && parts[p]->type == TokenType::Delim &&
             IsDelim(*parts[p + 1], '=') &&
             std::string_view("~|^$*").find(parts[p]->value[0]) != std::string_view::npos) {
    test.op = parts[p]->value[0];
    p += 2;
  }
  if (test.op != 0) {
    if (p >= parts.size() ||
        (parts[p]->type != TokenType::Ident && parts[p]->type != TokenType::String)) {
      return;
    }
    test.value = parts[p]->value;
  }
  c.attributes.push_back(std::move(test));
}

bool ContainsIgnoringCase(std::string_view text, std::string_view part) {
  if (part.size() > text.size()) return false;
  for (size_t i = 0; i + part.size() <= text.size(); ++i) {
    if (EqualsIgnoringAsciiCase(text.substr(i, part.size()), part)) return true;
  }
  return false;
}

// Whether the blank-separated list `list` holds `word`.
bool ListHolds(std::string_view list, std::string_view word) {
  size_t i = 0;
  while (i < list.size()) {
    while (i < list.size() && IsHtmlSpace(list[i])) ++i;
    size_t j = i;
    while (j < list.size() && !IsHtmlSpace(list[j])) ++j;
    if (j > i && EqualsIgnoringAsciiCase(list.substr(i, j - i), word)) return true;
    i = j;
  }
  return false;
}

bool Passes(const AttributeTest& a, std::string_view v) {
  const std::string_view want = a.value;
  switch (a.op) {
    case 0:
      return true;
    case '=':
      return EqualsIgnoringAsciiCase(v, want);
    case '~':
      return ListHolds(v, want);
    case '|':
      return EqualsIgnoringAsciiCase(v, want) || (StartsWithIgnoringAsciiCase(v, want) &&
                                                  v.size() > want.size() && v[want.size()] == '-');
    case '^':
      return !want.empty() && StartsWithIgnoringAsciiCase(v, want);
    case '$':
      return !want.empty() && v.size() >= want.size() &&
             EqualsIgnoringAsciiCase(v.substr(v.size() - want.size()), want);
    case '*':
      return !want.empty() && ContainsIgnoringCase(v, want);
    default:
      return false;
  }
}

}  // namespace

bool Matches(const Compound& compound, const AttributeLookup& attributes) {
  if (!compound.classes.empty()) {
    const std::optional<std::string_view> list = attributes("class");
    if (!list) return false;
    for (const std::string& c : compound.classes) {
      if (!ListHolds(*list, c)) return false;
    }
  }
  if (!compound.ids.empty()) {
    const std::optional<std::string_view> id = attributes("id");
    if (!id) return false;
    for (const std::string& i : compound.ids) {
      if (!EqualsIgnoringAsciiCase(*id, i)) return false;
    }
  }
  for (const AttributeTest& a : compound.attributes) {
    const std::optional<std::string_view> v = attributes(a.name);
    if (!v || !Passes(a, *v)) return false;
  }
  return true;
}

StyleSheet ParseStyleSheet(std::string_view text, uint32_t firstLine) {
  const std::vector<Token> tokens = Tokenize(text, firstLine);
  StyleSheet sheet;
  Parser(tokens).Rules(0, tokens.size(), 0, false, sheet);
  return sheet;
}

Sides ParseDeclarations(std::string_view text) {
  const std::vector<Token> tokens = Tokenize(text, 1);
  StyleSheet sheet;
  Parser(tokens).Block({Compound{}}, 0, tokens.size(), 0, false, sheet);
  return sheet.rules.empty() ? Sides{} : sheet.rules[0].sides;
}

}  // namespace tamarind::css
