// The CSS tokenizer. One Lexer walks the bytes once; each Consume* reads one
// kind of token from the current position and leaves the position behind
// it, as the CSS Syntax tokenizer's "consume" steps do. Nothing is looked
// at more than three bytes ahead, so the cost is linear in the text.
#include "css/CssTokenizer.h"

#include "Ascii.h"

namespace tamarind::css {
namespace {

bool IsNewline(char c) {
  return c == '\n' || c == '\r' || c == '\f';
}
bool IsNameStart(char c) {
  return IsAsciiLetter(c) || c == '_' || static_cast<unsigned char>(c) >= 0x80;
}
bool IsNameByte(char c) {
  return IsNameStart(c) || IsAsciiDigit(c) || c == '-';
}
// A byte no url() may hold unescaped: controls, DEL.
bool IsNonPrintable(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u <= 0x08 || u == 0x0B || (u >= 0x0E && u <= 0x1F) || u == 0x7F;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  // NUL, surrogates and what lies beyond Unicode become U+FFFD.
  if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = 0xFFFD;
  const auto byte = [&out](uint32_t b) { out += static_cast<char>(static_cast<unsigned char>(b)); };
  if (cp < 0x80) {
    byte(cp);
  } else if (cp < 0x800) {
    byte(0xC0 | (cp >> 6));
    byte(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    byte(0xE0 | (cp >> 12));
    byte(0x80 | ((cp >> 6) & 0x3F));
    byte(0x80 | (cp & 0x3F));
  } else {
    byte(0xF0 | (cp >> 18));
    byte(0x80 | ((cp >> 12) & 0x3F));
    byte(0x80 | ((cp >> 6) & 0x3F));
    byte(0x80 | (cp & 0x3F));
  }
}

class Lexer {
 public:
  Lexer(std::string_view text, uint32_t line) : s_(text), line_(line) {}

  std::vector<Token> Run() {
    std::vector<Token> tokens;
    while (SkipComments()) {
      const uint32_t line = line_;
      Token t = ConsumeToken();
      t.line = line;
      tokens.push_back(std::move(t));
    }
    return tokens;
  }

 private:
  char At(size_t ahead) const { return i_ + ahead < s_.size() ? s_[i_ + ahead] : '\0'; }
  bool Has(size_t ahead) const { return i_ + ahead < s_.size(); }

  // Moves one byte on, counting lines (CR LF counts once).
  void Advance() {
    const char c = s_[i_++];
    if (c == '\n' || c == '\f' || (c == '\r' && At(0) != '\n')) ++line_;
  }

  // Drops comments; false at the end of the text.
  bool SkipComments() {
    while (At(0) == '/' && At(1) == '*' && Has(1)) {
      Advance();
      Advance();
      while (Has(0) && !(At(0) == '*' && At(1) == '/' && Has(1))) Advance();
      if (Has(0)) {
        Advance();
        Advance();
      }
    }
    return Has(0);
  }

  // A "\" that starts an escape: not one before a line break or the end.
  bool ValidEscape(size_t ahead) const {
    return At(ahead) == '\\' && Has(ahead + 1) && !IsNewline(At(ahead + 1));
  }
  bool StartsIdent(size_t ahead) const {
    const char c = At(ahead);
    if (c == '-') {
      return (Has(ahead + 1) && (IsNameStart(At(ahead + 1)) || At(ahead + 1) == '-')) ||
             ValidEscape(ahead + 1);
    }
    if (Has(ahead) && IsNameStart(c)) return true;
    return ValidEscape(ahead);
  }
  bool StartsNumber(size_t ahead) const {
    const char c = At(ahead);
    if (c == '+' || c == '-') {
      return IsAsciiDigit(At(ahead + 1)) || (At(ahead + 1) == '.' && IsAsciiDigit(At(ahead + 2)));
    }
    if (c == '.') return IsAsciiDigit(At(ahead + 1));
    return IsAsciiDigit(c);
  }

  // After the "\" of a valid escape: the code point it stands for.
  void ConsumeEscape(std::string& out) {
    Advance();  // the backslash
    if (!Has(0)) return AppendUtf8(out, 0xFFFD);
    if (AsciiHexValue(At(0)) < 0) {
      out += s_[i_];
      Advance();
      return;
    }
    uint32_t cp = 0;
    for (int n = 0; n < 6 && Has(0) && AsciiHexValue(At(0)) >= 0; ++n) {
      cp = cp * 16 + static_cast<uint32_t>(AsciiHexValue(At(0)));
      Advance();
    }
    if (Has(0) && IsHtmlSpace(At(0))) {
      const bool crlf = At(0) == '\r' && At(1) == '\n';
      Advance();
      if (crlf) Advance();
    }
    AppendUtf8(out, cp);
  }

  std::string ConsumeName() {
    std::string name;
    for (;;) {
      if (Has(0) && IsNameByte(At(0))) {
        name += s_[i_];
        Advance();
      } else if (ValidEscape(0)) {
        ConsumeEscape(name);
      } else {
        return name;
      }
    }
  }

  Token Make(TokenType type, std::string value = {}) { return {type, std::move(value), 0, {}}; }

  Token ConsumeString(char quote) {
    Advance();
    std::string value;
    while (Has(0)) {
      const char c = At(0);
      if (c == quote) {
        Advance();
        return Make(TokenType::String, std::move(value));
      }
      if (IsNewline(c)) return Make(TokenType::BadString);  // the line break stays
      if (c == '\\') {
        if (!Has(1)) {
          Advance();
        } else if (IsNewline(At(1))) {
          const bool crlf = At(1) == '\r' && At(2) == '\n';
          Advance();
          Advance();
          if (crlf) Advance();
        } else {
          ConsumeEscape(value);
        }
        continue;
      }
      value += c;
      Advance();
    }
    return Make(TokenType::String, std::move(value));
  }

  void SkipNumber() {
    if (At(0) == '+' || At(0) == '-') Advance();
    while (Has(0) && IsAsciiDigit(At(0))) Advance();
    if (At(0) == '.' && IsAsciiDigit(At(1))) {
      Advance();
      while (Has(0) && IsAsciiDigit(At(0))) Advance();
    }
    const char e = AsciiLower(At(0));
    if (e == 'e' &&
        (IsAsciiDigit(At(1)) || ((At(1) == '+' || At(1) == '-') && IsAsciiDigit(At(2))))) {
      Advance();
      if (!IsAsciiDigit(At(0))) Advance();
      while (Has(0) && IsAsciiDigit(At(0))) Advance();
    }
  }

  Token ConsumeNumeric() {
    const size_t start = i_;
    SkipNumber();
    std::string number(s_.substr(start, i_ - start));
    Token t;
    if (StartsIdent(0)) {
      t = Make(TokenType::Dimension, ConsumeName());
    } else if (At(0) == '%' && Has(0)) {
      Advance();
      t = Make(TokenType::Percentage, number);
    } else {
      t = Make(TokenType::Number, number);
    }
    t.number = std::move(number);
    return t;
  }

  // The rest of a url() that went wrong, up to its ")" (escapes skipped).
  Token ConsumeBadUrl() {
    while (Has(0) && At(0) != ')') {
      if (ValidEscape(0)) {
        std::string ignored;
        ConsumeEscape(ignored);
      } else {
        Advance();
      }
    }
    if (Has(0)) Advance();
    return Make(TokenType::BadUrl);
  }

  Token ConsumeUrl() {
    std::string value;
    while (Has(0) && IsHtmlSpace(At(0))) Advance();
    while (Has(0)) {
      const char c = At(0);
      if (c == ')') {
        Advance();
        return Make(TokenType::Url, std::move(value));
      }
      if (IsHtmlSpace(c)) {
        while (Has(0) && IsHtmlSpace(At(0))) Advance();
        if (!Has(0) || At(0) == ')') continue;
        return ConsumeBadUrl();
      }
      if (c == '"' || c == '\'' || c == '(' || IsNonPrintable(c)) return ConsumeBadUrl();
      if (c == '\\') {
        if (!ValidEscape(0)) return ConsumeBadUrl();
        ConsumeEscape(value);
        continue;
      }
      value += c;
      Advance();
    }
    return Make(TokenType::Url, std::move(value));
  }

  Token ConsumeIdentLike() {
    std::string name = ConsumeName();
    if (At(0) != '(' || !Has(0)) return Make(TokenType::Ident, std::move(name));
    Advance();
    if (EqualsIgnoringAsciiCase(name, "url")) {
      // url( "x" ) is a function with a string; url(x) a url token.
      size_t k = 0;
      while (Has(k) && IsHtmlSpace(At(k))) ++k;
      if (At(k) != '"' && At(k) != '\'') return ConsumeUrl();
    }
    return Make(TokenType::Function, std::move(name));
  }

  Token Single(TokenType type) {
    Advance();
    return Make(type);
  }

  Token Delim() {
    const char c = s_[i_];
    Advance();
    return Make(TokenType::Delim, std::string(1, c));
  }

  Token ConsumeToken() {
    const char c = At(0);
    if (IsHtmlSpace(c)) {
      while (Has(0) && IsHtmlSpace(At(0))) Advance();
      return Make(TokenType::Whitespace);
    }
    switch (c) {
      case '"':
      case '\'':
        return ConsumeString(c);
      case '#':
        if (Has(1) && (IsNameByte(At(1)) || ValidEscape(1))) {
          Advance();
          return Make(TokenType::Hash, ConsumeName());
        }
        return Delim();
      case '(':
        return Single(TokenType::LeftParen);
      case ')':
        return Single(TokenType::RightParen);
      case '[':
        return Single(TokenType::LeftBracket);
      case ']':
        return Single(TokenType::RightBracket);
      case '{':
        return Single(TokenType::LeftBrace);
      case '}':
        return Single(TokenType::RightBrace);
      case ',':
        return Single(TokenType::Comma);
      case ':':
        return Single(TokenType::Colon);
      case ';':
        return Single(TokenType::Semicolon);
      case '+':
      case '.':
        return StartsNumber(0) ? ConsumeNumeric() : Delim();
      case '-':
        if (StartsNumber(0)) return ConsumeNumeric();
        if (At(1) == '-' && At(2) == '>') {
          Advance();
          Advance();
          return Single(TokenType::Cdc);
        }
        return StartsIdent(0) ? ConsumeIdentLike() : Delim();
      case '<':
        if (At(1) == '!' && At(2) == '-' && At(3) == '-') {
          for (int n = 0; n < 4; ++n) Advance();
          return Make(TokenType::Cdo);
        }
        return Delim();
      case '@':
        if (StartsIdent(1)) {
          Advance();
          return Make(TokenType::AtKeyword, ConsumeName());
        }
        return Delim();
      case '\\':
        return ValidEscape(0) ? ConsumeIdentLike() : Delim();
      default:
        break;
    }
    if (IsAsciiDigit(c)) return ConsumeNumeric();
    if (IsNameStart(c)) return ConsumeIdentLike();
    return Delim();
  }

  std::string_view s_;
  size_t i_ = 0;
  uint32_t line_;
};

}  // namespace

std::vector<Token> Tokenize(std::string_view text, uint32_t firstLine) {
  return Lexer(text, firstLine).Run();
}

}  // namespace tamarind::css
