// Fuzz target: the stylesheet reader on any bytes. The tokens must stand in
// order of their lines, within the text's lines; every rule kept must say
// something of a side; and the scan of a page for its stylesheets must find
// the same ones however the page is cut into pieces (the first byte picks
// where).
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "css/CssTokenizer.h"
#include "css/PageStyles.h"
#include "css/StyleRules.h"

namespace {

using tamarind::css::TokenType;

uint32_t LineEnds(std::string_view text) {
  uint32_t n = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n' || c == '\f' || (c == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))) ++n;
  }
  return n;
}

void CheckTokens(std::string_view text) {
  const std::vector<tamarind::css::Token> tokens = tamarind::css::Tokenize(text, 1);
  const uint32_t lastLine = 1 + LineEnds(text);
  uint32_t line = 1;
  for (const tamarind::css::Token& t : tokens) {
    Check(t.line >= line && t.line <= lastLine);
    line = t.line;
    // Delimiters are one byte, names never empty. (Blanks may come as two
    // tokens in a row: a comment between them is dropped, as browsers do.)
    if (t.type == TokenType::Delim) Check(t.value.size() == 1);
    if (t.type == TokenType::Ident || t.type == TokenType::Function ||
        t.type == TokenType::AtKeyword || t.type == TokenType::Dimension) {
      Check(!t.value.empty());
    }
  }
  Check(!text.empty() || tokens.empty());
  const tamarind::css::StyleSheet sheet = tamarind::css::ParseStyleSheet(text);
  for (const tamarind::css::SideRule& rule : sheet.rules) {
    Check(!rule.targets.empty());
    Check(rule.sides.widthGiven || rule.sides.heightGiven || rule.sides.widthFixedAt != 0 ||
          rule.sides.heightFixedAt != 0);
    Check(rule.sides.widthFixedAt <= lastLine && rule.sides.heightFixedAt <= lastLine);
  }
  tamarind::css::ParseDeclarations(text);
}

std::vector<std::string> Scan(std::string_view page, size_t cut) {
  std::vector<std::string> found;
  tamarind::css::StyleScan scan(
      [&found](std::string_view text, uint32_t line) {
        found.push_back("style " + std::to_string(line) + " " + std::string(text));
      },
      [&found](std::string_view tag) { found.push_back("link " + std::string(tag)); });
  scan.Feed(page.substr(0, cut), false);
  scan.Feed(page.substr(cut), true);
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CheckTokens(text);
  if (size > 0) {
    const size_t cut = std::min<size_t>(data[0], size);
    Check(Scan(text, cut) == Scan(text, size));
  }
  return 0;
}
