// The lexer of query text: characters to tokens. Positions count Unicode
// scalar values from 0; messages print them from 1.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace deziro::parse {

enum class TokenKind : std::uint8_t {
  Word,
  QuotedName,
  StringLit,
  IntLit,
  FloatLit,
  ParamRef,
  Punct,
  End,
};

struct Token {
  TokenKind kind = TokenKind::End;
  // Index of the token's first character in the text.
  std::uint64_t pos = 0;
  // Word, QuotedName and Punct: the text as written (a view into the query
  // text). StringLit without escapes: its value.
  std::string_view text;
  // StringLit with escapes: its value (text is then empty).
  std::string unescaped;
  bool has_unescaped = false;
  std::int64_t int_value = 0;
  double float_value = 0;
  std::uint64_t param = 0;

  std::string_view string_value() const {
    return has_unescaped ? std::string_view(unescaped) : text;
  }
};

// Appends the UTF-8 form of a Unicode scalar value.
void append_utf8(std::string& out, char32_t c);

// An INVALID_QUERY error at a character position counted from 0.
Error error_at(std::uint64_t pos, std::string_view message);

// Turns the text (UTF-8) into tokens ending in an End token. The tokens
// refer to the text, which must outlive them.
Result<std::vector<Token>> lex(std::string_view text);

}  // namespace deziro::parse
