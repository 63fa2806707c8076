#include "query/lex.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <system_error>

#include "query/char_class.hpp"
#include "text_format.hpp"

namespace deziro::parse {

namespace {

constexpr std::string_view kEscapesOnly =
    "a string escapes only `\\\"`, `\\\\`, `\\n`, `\\t` and `\\u{...}`";

bool is_ascii_digit(char32_t c) { return c >= '0' && c <= '9'; }

bool is_scalar_value(std::uint32_t c) { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }

// Decodes one UTF-8 sequence at p; returns its length, or 0 when the bytes
// are not UTF-8 (overlong forms, surrogates and values above U+10FFFF
// included).
int decode_utf8(const unsigned char* p, const unsigned char* end, char32_t& out) {
  const unsigned char b0 = p[0];
  if (b0 < 0x80) {
    out = b0;
    return 1;
  }
  int len;
  char32_t c;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2;
    c = b0 & 0x1F;
    min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3;
    c = b0 & 0x0F;
    min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4;
    c = b0 & 0x07;
    min = 0x10000;
  } else {
    return 0;
  }
  if (end - p < len) return 0;
  for (int i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    c = (c << 6) | (p[i] & 0x3F);
  }
  if (c < min || !is_scalar_value(c)) return 0;
  out = c;
  return len;
}

// Reads the text between the braces of a \u{...} escape: an optional '+',
// then at least one hexadecimal digit, the value fitting in 32 bits.
bool parse_hex_u32(std::string_view text, std::uint32_t& out) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  std::uint64_t value = 0;
  for (char ch : text) {
    int digit;
    if (ch >= '0' && ch <= '9') {
      digit = ch - '0';
    } else if ((ch | 0x20) >= 'a' && (ch | 0x20) <= 'f') {
      digit = (ch | 0x20) - 'a' + 10;
    } else {
      return false;
    }
    value = value * 16 + static_cast<std::uint64_t>(digit);
    if (value > 0xFFFFFFFFu) return false;
  }
  out = static_cast<std::uint32_t>(value);
  return true;
}

// A decimal number whose magnitude overflowed or underflowed the double
// range: rounds to infinity or to zero by its decimal exponent.
double out_of_range_double(std::string_view text) {
  const bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  std::int64_t digits_before_point = 0;
  bool seen_nonzero = false;
  std::int64_t leading_fraction_zeros = 0;
  bool in_fraction = false;
  std::size_t i = 0;
  for (; i < text.size(); ++i) {
    const char ch = text[i];
    if (ch == '.') {
      in_fraction = true;
    } else if (ch >= '0' && ch <= '9') {
      if (!in_fraction) {
        if (seen_nonzero || ch != '0') {
          seen_nonzero = true;
          ++digits_before_point;
        }
      } else if (!seen_nonzero) {
        if (ch == '0') {
          ++leading_fraction_zeros;
        } else {
          seen_nonzero = true;
        }
      }
    } else {
      break;
    }
  }
  std::int64_t exponent = 0;
  if (i < text.size()) {
    std::string_view exp = text.substr(i + 1);
    bool exp_negative = false;
    if (!exp.empty() && (exp.front() == '+' || exp.front() == '-')) {
      exp_negative = exp.front() == '-';
      exp.remove_prefix(1);
    }
    // Saturate: only the sign of the decimal exponent matters here.
    for (char ch : exp) {
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (ch - '0');
    }
    if (exp_negative) exponent = -exponent;
  }
  const std::int64_t magnitude =
      digits_before_point > 0 ? digits_before_point + exponent : exponent - leading_fraction_zeros;
  const double result = magnitude > 0 ? HUGE_VAL : 0.0;
  return negative ? -result : result;
}

class Lexer {
 public:
  explicit Lexer(std::string_view text)
      : p_(reinterpret_cast<const unsigned char*>(text.data())), end_(p_ + text.size()) {}

  Result<std::vector<Token>> run() {
    std::vector<Token> tokens;
    // About one token per four characters in typical queries; long texts
    // grow the list as they go.
    tokens.reserve(std::min<std::size_t>(static_cast<std::size_t>(end_ - p_) / 4 + 2, 256));
    while (p_ < end_) {
      char32_t c;
      int len = peek(c);
      if (len == 0) return fail(error_at(char_pos_, "the text is not UTF-8"));
      const std::uint8_t cls = char_class(c);
      if (cls & kWhiteSpace) {
        step(len);
        continue;
      }
      Token& token = tokens.emplace_back();
      token.pos = char_pos_;
      if (c == '_' || (cls & kAlphabetic)) {
        lex_word(token);
      } else if (c == '"') {
        DZ_CHECK(lex_string(token));
      } else if (c == '`') {
        DZ_CHECK(lex_quoted_name(token));
      } else if (is_ascii_digit(c) ||
                 (c == '-' && p_ + 1 < end_ && is_ascii_digit(static_cast<char32_t>(p_[1])))) {
        DZ_CHECK(lex_number(token));
      } else if (c == '$') {
        DZ_CHECK(lex_param(token));
      } else {
        DZ_CHECK(lex_punct(token, c, len));
      }
    }
    Token& end = tokens.emplace_back();
    end.kind = TokenKind::End;
    end.pos = char_pos_;
    return tokens;
  }

 private:
  int peek(char32_t& c) const {
    if (*p_ < 0x80) {
      c = *p_;
      return 1;
    }
    return decode_utf8(p_, end_, c);
  }

  void step(int len) {
    p_ += len;
    ++char_pos_;
  }

  std::string_view view_from(const unsigned char* start) const {
    return {reinterpret_cast<const char*>(start), static_cast<std::size_t>(p_ - start)};
  }

  void lex_word(Token& token) {
    const unsigned char* start = p_;
    while (p_ < end_) {
      char32_t c;
      const int len = peek(c);
      // An undecodable byte ends the word; the main loop reports it.
      if (len == 0) break;
      if (c != '_' && !(char_class(c) & (kAlphabetic | kNumeric))) break;
      step(len);
    }
    token.kind = TokenKind::Word;
    token.text = view_from(start);
  }

  Status lex_string(Token& token) {
    const std::uint64_t open_pos = char_pos_;
    step(1);
    const unsigned char* start = p_;
    token.kind = TokenKind::StringLit;
    while (true) {
      if (p_ >= end_) return fail(error_at(open_pos, "a string does not end"));
      char32_t c;
      const int len = peek(c);
      if (len == 0) return fail(error_at(char_pos_, "the text is not UTF-8"));
      if (c == '"') {
        if (!token.has_unescaped) token.text = view_from(start);
        step(1);
        return ok();
      }
      if (c != '\\') {
        if (token.has_unescaped) token.unescaped.append(reinterpret_cast<const char*>(p_), len);
        step(len);
        continue;
      }
      if (!token.has_unescaped) {
        token.has_unescaped = true;
        token.unescaped.assign(view_from(start));
      }
      DZ_CHECK(lex_escape(token.unescaped));
    }
  }

  // At a backslash inside a string: appends the escaped character.
  Status lex_escape(std::string& out) {
    const std::uint64_t backslash_pos = char_pos_;
    step(1);
    if (p_ >= end_) return fail(error_at(backslash_pos, kEscapesOnly));
    switch (*p_) {
      case '"':
      case '\\':
        out.push_back(static_cast<char>(*p_));
        step(1);
        return ok();
      case 'n':
        out.push_back('\n');
        step(1);
        return ok();
      case 't':
        out.push_back('\t');
        step(1);
        return ok();
      case 'u':
        break;
      default:
        return fail(error_at(backslash_pos, kEscapesOnly));
    }
    step(1);
    if (p_ >= end_ || *p_ != '{') return fail(error_at(backslash_pos, kEscapesOnly));
    step(1);
    const unsigned char* digits = p_;
    std::uint64_t chars = 0;
    const unsigned char* close = digits;
    while (close < end_ && *close != '}') {
      char32_t c;
      const int len = decode_utf8(close, end_, c);
      if (len == 0) return fail(error_at(char_pos_ + chars, "the text is not UTF-8"));
      close += len;
      ++chars;
    }
    if (close >= end_) {
      return fail(error_at(backslash_pos, "a `\\u{...}` escape does not end"));
    }
    const std::string_view hex(reinterpret_cast<const char*>(digits),
                               static_cast<std::size_t>(close - digits));
    std::uint32_t code;
    if (!parse_hex_u32(hex, code) || !is_scalar_value(code)) {
      return fail(error_at(backslash_pos, format_text("`\\u{{{}}}` is not a character", hex)));
    }
    append_utf8(out, static_cast<char32_t>(code));
    p_ = close + 1;
    char_pos_ += chars + 1;
    return ok();
  }

  Status lex_quoted_name(Token& token) {
    const std::uint64_t open_pos = char_pos_;
    step(1);
    const unsigned char* start = p_;
    while (true) {
      if (p_ >= end_) return fail(error_at(open_pos, "a name in backticks does not end"));
      char32_t c;
      const int len = peek(c);
      if (len == 0) return fail(error_at(char_pos_, "the text is not UTF-8"));
      if (c == '`') break;
      step(len);
    }
    if (p_ == start) return fail(error_at(open_pos, "a name in backticks is empty"));
    token.kind = TokenKind::QuotedName;
    token.text = view_from(start);
    step(1);
    return ok();
  }

  bool digit_at(const unsigned char* q) const { return q < end_ && *q >= '0' && *q <= '9'; }

  // Numbers are ASCII only, so bytes and characters advance together here.
  Status lex_number(Token& token) {
    const unsigned char* start = p_;
    const unsigned char* q = p_;
    if (*q == '-') ++q;
    while (digit_at(q)) ++q;
    bool is_float = false;
    if (q < end_ && *q == '.' && digit_at(q + 1)) {
      is_float = true;
      ++q;
      while (digit_at(q)) ++q;
    }
    if (q < end_ && (*q == 'e' || *q == 'E')) {
      const unsigned char* e = q + 1;
      if (e < end_ && (*e == '+' || *e == '-')) ++e;
      if (digit_at(e)) {
        is_float = true;
        q = e;
        while (digit_at(q)) ++q;
      }
    }
    char_pos_ += static_cast<std::uint64_t>(q - p_);
    p_ = q;
    const std::string_view text = view_from(start);
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (is_float) {
      token.kind = TokenKind::FloatLit;
      auto [ptr, ec] = std::from_chars(first, last, token.float_value);
      if (ec == std::errc::result_out_of_range) {
        token.float_value = out_of_range_double(text);
      } else if (ec != std::errc() || ptr != last) {
        return fail(Error::internal(format_text("the number `{}` was not read", text)));
      }
      return ok();
    }
    token.kind = TokenKind::IntLit;
    auto [ptr, ec] = std::from_chars(first, last, token.int_value);
    if (ec != std::errc() || ptr != last) {
      return fail(error_at(token.pos, format_text("`{}` does not fit in 64 bits", text)));
    }
    return ok();
  }

  Status lex_param(Token& token) {
    const std::uint64_t dollar_pos = char_pos_;
    const unsigned char* digits = p_ + 1;
    const unsigned char* q = digits;
    while (digit_at(q)) ++q;
    const char* first = reinterpret_cast<const char*>(digits);
    const char* last = reinterpret_cast<const char*>(q);
    auto [ptr, ec] = std::from_chars(first, last, token.param);
    if (q == digits || ec != std::errc() || ptr != last) {
      return fail(error_at(dollar_pos, "`$` is followed by the number of a parameter"));
    }
    token.kind = TokenKind::ParamRef;
    char_pos_ += static_cast<std::uint64_t>(q - p_);
    p_ = q;
    return ok();
  }

  Status lex_punct(Token& token, char32_t c, int len) {
    if (p_ + 1 < end_ && p_[1] == '=' && (c == '=' || c == '!' || c == '<' || c == '>')) {
      token.kind = TokenKind::Punct;
      token.text = std::string_view(reinterpret_cast<const char*>(p_), 2);
      p_ += 2;
      char_pos_ += 2;
      return ok();
    }
    switch (c) {
      case '(':
      case ')':
      case ',':
      case '.':
      case '<':
      case '>':
      case '[':
      case ']':
        token.kind = TokenKind::Punct;
        token.text = std::string_view(reinterpret_cast<const char*>(p_), 1);
        step(1);
        return ok();
      default:
        break;
    }
    const std::string_view character(reinterpret_cast<const char*>(p_),
                                     static_cast<std::size_t>(len));
    return fail(error_at(char_pos_, format_text("`{}` has no meaning here", character)));
  }

  const unsigned char* p_;
  const unsigned char* end_;
  std::uint64_t char_pos_ = 0;
};

}  // namespace

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

Error error_at(std::uint64_t pos, std::string_view message) {
  return Error::invalid_query(format_text("at character {}: {}", pos + 1, message));
}

Result<std::vector<Token>> lex(std::string_view text) { return Lexer(text).run(); }

}  // namespace deziro::parse
