// CssTokenizer: the tokens of a stylesheet, as browsers cut them.
//
// It follows the CSS Syntax tokenizer: comments are dropped, strings and
// url() end where a browser ends them (a bad string at a line break, a bad
// url at a stray quote or parenthesis), escapes in names, strings and urls
// are decoded (a code point in hexadecimal comes out as UTF-8), and every
// byte of 0x80 and above counts as a letter of a name. The bytes are not
// decoded otherwise: a stylesheet in Shift_JIS gives names in Shift_JIS,
// which only ever meet names of the same page.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tamarind::css {

enum class TokenType {
  Ident,
  Function,   // value: the name before "("
  AtKeyword,  // value: the name after "@"
  Hash,       // value: the name after "#"
  String,     // value: decoded, without quotes
  BadString,
  Url,  // value: the address, decoded
  BadUrl,
  Delim,  // value: the one byte
  Number,
  Percentage,
  Dimension,  // value: the unit
  Whitespace,
  Cdo,  // <!--
  Cdc,  // -->
  Colon,
  Semicolon,
  Comma,
  LeftBracket,
  RightBracket,
  LeftParen,
  RightParen,
  LeftBrace,
  RightBrace,
};

struct Token {
  TokenType type;
  std::string value;
  uint32_t line;       // 1-based, of the token's first byte
  std::string number;  // Number, Percentage, Dimension: the number as written
};

// The tokens of `text`, whose first byte stands on line `firstLine`. A CR
// LF pair, a lone CR, an LF and a form feed each end a line.
std::vector<Token> Tokenize(std::string_view text, uint32_t firstLine = 1);

}  // namespace tamarind::css
