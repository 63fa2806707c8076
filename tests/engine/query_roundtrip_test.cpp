// Both front ends must build the same query. A seeded generator walks the
// grammar and produces each query twice: as text (with random keyword case,
// spacing, quoting and escapes) and as the intermediate form written from
// filter tuples the way compile_query writes them. Parsing the one and
// reading the other must give equal queries; so must writing the parsed
// query back into the intermediate form and reading it.
#include <gtest/gtest.h>

#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "query/ir.hpp"
#include "query/lex.hpp"
#include "query/params.hpp"
#include "query/parse.hpp"
#include "support/query_support.hpp"

namespace deziro {
namespace DZ_FILE_LOCAL {

using Bytes = std::vector<std::uint8_t>;

// The Python-side shape of a filter: (0, op, path, operands), (1, children),
// (2, children), (3, child).
struct FilterTuple {
  int kind = 0;
  int op = 0;  // the intermediate form's operator id, 4 to 15
  Path path;
  std::vector<Operand> operands;
  std::vector<FilterTuple> children;
};

struct SortPair {
  Path path;
  bool descending = false;
  // Text only: whether ASC is written out.
  bool explicit_asc = false;
};

struct QuerySpec {
  std::optional<FilterTuple> filter;
  std::vector<SortPair> sort;
  std::optional<std::uint64_t> offset;  // as written in the text
  std::optional<std::uint64_t> limit;
};

// ------------------------------------------------------------ generator

class Generator {
 public:
  explicit Generator(std::uint64_t seed) : rng_(seed) {}

  QuerySpec query() {
    QuerySpec spec;
    if (chance(0.85)) spec.filter = filter(1);
    const int keys = chance(0.5) ? pick(1, 3) : 0;
    for (int i = 0; i < keys; ++i) {
      SortPair key{path(), chance(0.5), false};
      key.explicit_asc = !key.descending && chance(0.5);
      spec.sort.push_back(std::move(key));
    }
    if (chance(0.4)) spec.limit = count();
    if (chance(0.3)) spec.offset = count();
    return spec;
  }

  std::mt19937_64& rng() { return rng_; }
  bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

 private:
  std::uint64_t count() {
    switch (pick(0, 3)) {
      case 0:
        return 0;
      case 1:
        return static_cast<std::uint64_t>(pick(1, 100));
      case 2:
        return static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
      default:
        return rng_() >> 1;
    }
  }

  FilterTuple filter(int level) {
    // Deep enough to exercise nesting, within the writer's 24 levels.
    const bool leaf = level >= 6 || chance(level == 1 ? 0.3 : 0.55);
    if (leaf) return test();
    FilterTuple node;
    node.kind = pick(1, 3);
    const int children = node.kind == 3 ? 1 : pick(2, 4);
    for (int i = 0; i < children; ++i) node.children.push_back(filter(level + 1));
    return node;
  }

  FilterTuple test() {
    FilterTuple t;
    t.kind = 0;
    t.op = pick(4, 15);
    t.path = path();
    int operands = 1;
    if (t.op == 10) operands = 2;
    if (t.op == 11) operands = pick(0, 4);
    if (t.op == 15) operands = 0;
    for (int i = 0; i < operands; ++i) t.operands.push_back(operand());
    return t;
  }

  Path path() {
    static const char* const kNames[] = {"a",    "name", "größe", "and",   "SORT", "with space",
                                         "名前", "x1",   "_u",    "Limit", "a.b",  "nULL",
                                         "ⅻ",    "e",    "1st",   "$x",    "in",   "ǅ"};
    Path p;
    const int n = pick(1, 3);
    for (int i = 0; i < n; ++i) p.push_back(kNames[pick(0, std::size(kNames) - 1)]);
    return p;
  }

  Operand operand() {
    switch (pick(0, 9)) {
      case 0:
        return Value::boolean(chance(0.5));
      case 1:
      case 2:
        return Value::integer(integer());
      case 3:
      case 4:
        return Value::floating(floating());
      case 5:
      case 6:
      case 7:
        return Value::string(string());
      default:
        return Placeholder{chance(0.8) ? static_cast<std::uint64_t>(pick(0, 9)) : rng_() >> 1};
    }
  }

  std::int64_t integer() {
    switch (pick(0, 4)) {
      case 0:
        return std::numeric_limits<std::int64_t>::min();
      case 1:
        return std::numeric_limits<std::int64_t>::max();
      case 2:
        return pick(-3, 3);
      default:
        return static_cast<std::int64_t>(rng_());
    }
  }

  double floating() {
    switch (pick(0, 6)) {
      case 0:
        return std::numeric_limits<double>::infinity() * (chance(0.5) ? 1 : -1);
      case 1:
        return chance(0.5) ? -0.0 : 0.0;
      case 2:
        return std::numeric_limits<double>::denorm_min();
      case 3:
        return std::numeric_limits<double>::max();
      case 4:
        return pick(-1000, 1000) / 8.0;
      default: {
        // Any finite bit pattern.
        while (true) {
          const double d = std::bit_cast<double>(rng_());
          if (std::isfinite(d)) return d;
        }
      }
    }
  }

  std::string string() {
    static const char32_t kChars[] = {'a',    'Z',     ' ',      '"',    '\\', '\n', '\t',
                                      '\r',   '{',     '}',      '`',    '$',  0,    0xe9,
                                      0x4e2d, 0x1f600, 0x10ffff, 0xfeff, 0x7f};
    std::string s;
    const int n = pick(0, 8);
    for (int i = 0; i < n; ++i) parse::append_utf8(s, kChars[pick(0, std::size(kChars) - 1)]);
    return s;
  }

 private:
  std::mt19937_64 rng_;
};

// ------------------------------------------------------------ text

class TextWriter {
 public:
  explicit TextWriter(Generator& g) : g_(g) {}

  std::string write(const QuerySpec& spec) {
    out_.clear();
    space(true);
    if (spec.filter) filter(*spec.filter, false);
    if (!spec.sort.empty()) {
      keyword("SORT");
      keyword("BY");
      for (std::size_t i = 0; i < spec.sort.size(); ++i) {
        if (i) punct(",");
        path(spec.sort[i].path);
        if (spec.sort[i].descending) keyword("DESC");
        if (spec.sort[i].explicit_asc) keyword("ASC");
      }
    }
    if (spec.limit) {
      keyword("LIMIT");
      word(std::to_string(*spec.limit));
    }
    if (spec.offset) {
      keyword("OFFSET");
      word(std::to_string(*spec.offset));
    }
    return out_;
  }

 private:
  // Whitespace of any kind, sometimes none where a token boundary is clear.
  void space(bool optional) {
    static const char* const kSpaces[] = {" ", "  ", "\t", "\n", "\u3000", "\u00a0", "\r\n"};
    if (optional && g_.chance(0.3)) return;
    out_ += kSpaces[g_.pick(0, std::size(kSpaces) - 1)];
  }

  void word(const std::string& w) {
    space(false);
    out_ += w;
  }

  void keyword(std::string_view kw) {
    std::string w(kw);
    for (char& c : w) {
      if (g_.chance(0.5)) c = static_cast<char>(c - 'A' + 'a');
    }
    word(w);
  }

  void punct(std::string_view p) {
    space(true);
    out_ += p;
    space(true);
  }

  static bool is_bare_word(std::string_view name) {
    // Names of the pool that lex as one word.
    return name != "with space" && name != "a.b" && name != "1st" && name != "$x";
  }

  static bool is_reserved(std::string_view name) {
    std::string upper(name);
    for (char& c : upper) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    for (const char* r :
         {"AND", "OR", "NOT", "BETWEEN", "IN", "CONTAINS", "STARTSWITH", "ENDSWITH", "IS", "NULL",
          "TRUE", "FALSE", "SORT", "BY", "ASC", "DESC", "LIMIT", "OFFSET"}) {
      if (upper == r) return true;
    }
    return false;
  }

  void path(const Path& p) {
    space(false);
    for (std::size_t i = 0; i < p.size(); ++i) {
      if (i) out_ += g_.chance(0.8) ? "." : " . ";
      const bool bare = is_bare_word(p[i]) && (i > 0 || !is_reserved(p[i])) && g_.chance(0.8);
      out_ += bare ? p[i] : "`" + p[i] + "`";
    }
  }

  void value(const Operand& operand) {
    if (const auto* placeholder = std::get_if<Placeholder>(&operand)) {
      word("$" + std::to_string(placeholder->number));
      return;
    }
    const Value& v = std::get<Value>(operand);
    switch (v.kind()) {
      case ValueKind::Bool:
        keyword(v.as_bool() ? "TRUE" : "FALSE");
        return;
      case ValueKind::Int:
        word(std::to_string(v.as_int()));
        return;
      case ValueKind::Float:
        word(float_text(v.as_float()));
        return;
      case ValueKind::String:
        word(string_text(v.as_string()));
        return;
      default:
        ADD_FAILURE() << "the generator made a value the text cannot hold";
    }
  }

  std::string float_text(double d) {
    if (std::isinf(d)) return d > 0 ? "1e999" : "-1e999";
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
    std::string text(buf, end);
    if (text.find_first_of(".e") == std::string::npos) text += g_.chance(0.5) ? ".0" : "e0";
    return text;
  }

  std::string string_text(const std::string& s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
      const unsigned char b = static_cast<unsigned char>(s[i]);
      const std::size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
      char32_t c = len == 1 ? b : b & (0xFF >> (len + 1));
      for (std::size_t k = 1; k < len; ++k) c = (c << 6) | (s[i + k] & 0x3F);
      if (c == '"') {
        out += "\\\"";
      } else if (c == '\\') {
        out += "\\\\";
      } else if (c == '\n' && g_.chance(0.7)) {
        out += "\\n";
      } else if (c == '\t' && g_.chance(0.7)) {
        out += "\\t";
      } else if (g_.chance(0.25)) {
        char hex[16];
        auto [end, ec] = std::to_chars(hex, hex + sizeof hex, static_cast<std::uint32_t>(c), 16);
        std::string digits(hex, end);
        if (g_.chance(0.3)) {
          for (char& h : digits) h = static_cast<char>(std::toupper(static_cast<unsigned char>(h)));
        }
        out += std::string("\\u{") + (g_.chance(0.2) ? "+" : "") + (g_.chance(0.2) ? "00" : "") +
               digits + "}";
      } else {
        out.append(s, i, len);
      }
      i += len;
    }
    return out + "\"";
  }

  void filter(const FilterTuple& f, bool grouped_context) {
    switch (f.kind) {
      case 0:
        test(f);
        return;
      case 1:
      case 2: {
        const bool paren = grouped_context || g_.chance(0.2);
        if (paren) punct("(");
        for (std::size_t i = 0; i < f.children.size(); ++i) {
          if (i) keyword(f.kind == 1 ? "AND" : "OR");
          // AND and OR children are grouped: an OR under an AND must be, and
          // an AND under an AND flattens alike on both roads.
          const bool child_group = f.children[i].kind == 2 || f.children[i].kind == 1;
          filter(f.children[i], child_group);
        }
        if (paren) punct(")");
        return;
      }
      case 3:
        if (f.children[0].kind == 0 && f.children[0].op == 15 && g_.chance(0.5)) {
          // IS NOT NULL, or != null: both are NOT over IS NULL.
          path(f.children[0].path);
          if (g_.chance(0.5)) {
            keyword("IS");
            keyword("NOT");
            keyword("NULL");
          } else {
            punct("!=");
            keyword("NULL");
          }
          return;
        }
        keyword("NOT");
        filter(f.children[0], f.children[0].kind == 1 || f.children[0].kind == 2);
        return;
    }
  }

  void test(const FilterTuple& t) {
    const bool paren = g_.chance(0.1);
    if (paren) punct("(");
    path(t.path);
    static const char* const kPuncts[] = {"==", "!=", "<", "<=", ">", ">="};
    if (t.op <= 9) {
      punct(kPuncts[t.op - 4]);
      value(t.operands[0]);
    } else if (t.op == 10) {
      keyword("BETWEEN");
      value(t.operands[0]);
      keyword("AND");
      value(t.operands[1]);
    } else if (t.op == 11) {
      keyword("IN");
      punct("[");
      for (std::size_t i = 0; i < t.operands.size(); ++i) {
        if (i) punct(",");
        value(t.operands[i]);
      }
      punct("]");
    } else if (t.op <= 14) {
      static const char* const kWords[] = {"CONTAINS", "STARTSWITH", "ENDSWITH"};
      keyword(kWords[t.op - 12]);
      value(t.operands[0]);
    } else if (g_.chance(0.5)) {
      keyword("IS");
      keyword("NULL");
    } else {
      punct("==");
      keyword("NULL");
    }
    if (paren) punct(")");
  }

  Generator& g_;
  std::string out_;
};

// ------------------------------------------------------------ IR

// The tuples as compile_query converts them, written by the engine's one
// writer of the intermediate form.
ir::FilterNode filter_node_of(const FilterTuple& f) {
  ir::FilterNode node;
  node.kind = static_cast<ir::FilterNode::Kind>(f.kind);
  node.test_operator = f.op;
  node.path = f.path;
  node.operands = f.operands;
  for (const FilterTuple& child : f.children) node.children.push_back(filter_node_of(child));
  return node;
}

Bytes write_spec(const QuerySpec& spec) {
  ir::QueryForm form;
  if (spec.filter) form.filter = filter_node_of(*spec.filter);
  for (const SortPair& key : spec.sort) form.sort_keys.push_back({key.path, key.descending});
  form.offset = spec.offset.value_or(0);
  form.limit = spec.limit;
  auto bytes = ir::write_query("people", form);
  EXPECT_TRUE(bytes) << bytes.error().to_string();
  return bytes.value_or(Bytes{});
}

// ------------------------------------------------------------ the property

TEST(QueryRoundTrip, text_and_intermediate_form_give_equal_queries) {
  Generator g(0x5eed'd021'0001);
  TextWriter text_writer(g);
  int with_filter = 0;
  int prepared = 0;
  for (int i = 0; i < 3000; ++i) {
    const QuerySpec spec = g.query();
    const std::string text = text_writer.write(spec);
    auto from_text = parse::parse_query(text);
    ASSERT_TRUE(from_text) << "case " << i << ": " << text << "\n" << from_text.error().to_string();
    auto from_ir = ir::read_query(write_spec(spec));
    ASSERT_TRUE(from_ir) << "case " << i << ": " << text << "\n" << from_ir.error().to_string();
    ASSERT_EQ(*from_text, *from_ir)
        << "case " << i << ": " << text << "\n text: " << testing::describe_query(*from_text)
        << "\n IR:   " << testing::describe_query(*from_ir);

    // The engine's own writer gives the same query back as well.
    auto written = ir::write_query("people", *from_text);
    ASSERT_TRUE(written) << "case " << i << ": " << written.error().to_string();
    auto reread = ir::read_query(*written);
    ASSERT_TRUE(reread) << "case " << i << ": " << reread.error().to_string();
    ASSERT_EQ(*reread, *from_text) << "case " << i << ": " << text;

    with_filter += from_text->filter.has_value();
    prepared += from_text->filter && ir::has_params(*from_text->filter).has_value();
  }
  // The generator must reach the interesting shapes, not just trivial ones.
  EXPECT_GT(with_filter, 2000);
  EXPECT_GT(prepared, 500);
}

// Random jumbles of query fragments: each either parses (and then survives
// the intermediate form unchanged) or fails with INVALID_QUERY at a
// character inside the text or just past its end.
TEST(QueryRoundTrip, any_text_parses_or_fails_at_a_position_within_it) {
  static const char* const kFragments[] = {"a",
                                           "é",
                                           "`b c`",
                                           "`",
                                           "\"s\"",
                                           "\"",
                                           "\\u{41}",
                                           "\\u{d800}",
                                           "\\",
                                           "1",
                                           "-",
                                           "2.5",
                                           "1e",
                                           "e9",
                                           ".",
                                           ",",
                                           "(",
                                           ")",
                                           "[",
                                           "]",
                                           "==",
                                           "!=",
                                           "<",
                                           ">=",
                                           "=",
                                           "!",
                                           "$",
                                           "$7",
                                           "AND",
                                           "or",
                                           "NOT",
                                           "IN",
                                           "IS",
                                           "NULL",
                                           "true",
                                           "SORT",
                                           "BY",
                                           "DESC",
                                           "LIMIT",
                                           "OFFSET",
                                           " ",
                                           "\u3000",
                                           "😀",
                                           "\t",
                                           "between",
                                           "contains",
                                           "9223372036854775808",
                                           "\xff"};
  std::mt19937_64 rng(0x5eed'd021'0002);
  int parsed = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    const int n = std::uniform_int_distribution<int>(0, 12)(rng);
    for (int k = 0; k < n; ++k) {
      text +=
          kFragments[std::uniform_int_distribution<std::size_t>(0, std::size(kFragments) - 1)(rng)];
      if (rng() % 2) text += ' ';
    }
    auto result = parse::parse_query(text);
    if (result) {
      ++parsed;
      if (result->filter &&
          ir::has_params(*result->filter).value_or(0) >
              static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        continue;
      }
      auto written = ir::write_query("c", *result);
      if (!written) {
        // Only a null operand has no encoding; the query holds one.
        EXPECT_EQ(written.error().message(), "a query compares with single values, not None")
            << text;
        continue;
      }
      auto back = ir::read_query(*written);
      ASSERT_TRUE(back) << text;
      EXPECT_EQ(*back, *result) << text;
      continue;
    }
    ASSERT_EQ(result.error().kind(), ErrorKind::InvalidQuery) << text;
    const std::string_view message = result.error().message();
    ASSERT_EQ(message.rfind("at character ", 0), 0u) << text << ": " << message;
    const std::size_t colon = message.find(':');
    const std::uint64_t position = std::stoull(std::string(message.substr(13, colon - 13)));
    std::uint64_t characters = 0;
    for (unsigned char b : text) characters += (b & 0xC0) != 0x80;
    EXPECT_GE(position, 1u) << text;
    EXPECT_LE(position, characters + 1) << text << ": " << message;
  }
  EXPECT_GT(parsed, 100);
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
