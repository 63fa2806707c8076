// A small "{}" formatter for messages: this toolchain's standard library has
// no <format>. Each "{}" takes the next argument; "{{" and "}}" are braces.
#pragma once

#include <charconv>
#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace deziro {

namespace text_format_detail {

inline void append_one(std::string& out, std::string_view text) { out.append(text); }
inline void append_one(std::string& out, const char* text) { out.append(text); }
inline void append_one(std::string& out, const std::string& text) { out.append(text); }
inline void append_one(std::string& out, char c) { out.push_back(c); }
inline void append_one(std::string& out, bool b) { out.append(b ? "true" : "false"); }

template <typename T>
requires(std::integral<T> && !std::same_as<T, bool> &&
         !std::same_as<T, char>) void append_one(std::string& out, T value) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  (void)ec;
  out.append(buf, end);
}

template <typename T>
requires std::floating_point<T>
void append_one(std::string& out, T value) {
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  (void)ec;
  out.append(buf, end);
}

// Copies literal text up to the next "{}", unescaping doubled braces.
// Returns false at the end of the pattern.
inline bool copy_literal(std::string& out, std::string_view& pattern) {
  while (!pattern.empty()) {
    char c = pattern.front();
    if (c == '{' && pattern.size() > 1 && pattern[1] == '{') {
      out.push_back('{');
      pattern.remove_prefix(2);
    } else if (c == '}' && pattern.size() > 1 && pattern[1] == '}') {
      out.push_back('}');
      pattern.remove_prefix(2);
    } else if (c == '{' && pattern.size() > 1 && pattern[1] == '}') {
      pattern.remove_prefix(2);
      return true;
    } else {
      out.push_back(c);
      pattern.remove_prefix(1);
    }
  }
  return false;
}

}  // namespace text_format_detail

template <typename... Args>
std::string format_text(std::string_view pattern, const Args&... args) {
  std::string out;
  out.reserve(pattern.size() + 16 * sizeof...(Args));
  (
      [&] {
        if (text_format_detail::copy_literal(out, pattern))
          text_format_detail::append_one(out, args);
      }(),
      ...);
  text_format_detail::copy_literal(out, pattern);
  return out;
}

}  // namespace deziro
