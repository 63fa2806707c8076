#include "query/parse.hpp"

#include <array>
#include <utility>
#include <vector>

#include "query/lex.hpp"
#include "text_format.hpp"

namespace deziro::parse {

namespace {

constexpr std::array<std::string_view, 18> kReservedWords = {
    "AND",  "OR",   "NOT",   "BETWEEN", "IN", "CONTAINS", "STARTSWITH", "ENDSWITH", "IS",
    "NULL", "TRUE", "FALSE", "SORT",    "BY", "ASC",      "DESC",       "LIMIT",    "OFFSET",
};

constexpr std::string_view kClauseOrEnd = "`AND`, `OR`, `SORT BY`, `LIMIT`, `OFFSET` or the end";

// ASCII letters compared case-insensitively; every other byte exactly.
bool equals_keyword(std::string_view word, std::string_view keyword) {
  if (word.size() != keyword.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    char a = word[i];
    if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
    if (a != keyword[i]) return false;
  }
  return true;
}

bool is_reserved(std::string_view word) {
  for (std::string_view keyword : kReservedWords) {
    if (equals_keyword(word, keyword)) return true;
  }
  return false;
}

std::string describe(const Token& token) {
  switch (token.kind) {
    case TokenKind::Word:
    case TokenKind::QuotedName:
    case TokenKind::Punct:
      return format_text("`{}`", token.text);
    case TokenKind::StringLit:
      return "a string";
    case TokenKind::IntLit:
    case TokenKind::FloatLit:
      return "a number";
    case TokenKind::ParamRef:
      return format_text("`${}`", token.param);
    case TokenKind::End:
      return "the end";
  }
  return {};
}

}  // namespace

// The token list, the current index (never past the End token) and the
// depth of unary levels being parsed.
struct Parser {
  std::vector<Token> tokens;
  std::size_t index = 0;
  int depth = 0;

  const Token& current() const { return tokens[index]; }
  void advance() {
    if (index + 1 < tokens.size()) ++index;
  }
  bool at_keyword(std::string_view keyword) const {
    return current().kind == TokenKind::Word && equals_keyword(current().text, keyword);
  }
  bool at_punct(std::string_view punct) const {
    return current().kind == TokenKind::Punct && current().text == punct;
  }
};

Error expected(const Parser& p, std::string_view what) {
  return error_at(p.current().pos,
                  format_text("expected {}, found {}", what, describe(p.current())));
}

Status expect_keyword(Parser& p, std::string_view keyword) {
  if (!p.at_keyword(keyword)) return fail(expected(p, format_text("`{}`", keyword)));
  p.advance();
  return ok();
}

Status expect_punct(Parser& p, std::string_view punct) {
  if (!p.at_punct(punct)) return fail(expected(p, format_text("`{}`", punct)));
  p.advance();
  return ok();
}

bool eat_not(Parser& p) {
  if (!p.at_keyword("NOT")) return false;
  p.advance();
  return true;
}

bool eat_close_bracket(Parser& p) {
  if (!p.at_punct("]")) return false;
  p.advance();
  return true;
}

Result<std::string> parse_name(Parser& p, bool first) {
  const Token& token = p.current();
  const bool is_name = token.kind == TokenKind::QuotedName ||
                       (token.kind == TokenKind::Word && (!first || !is_reserved(token.text)));
  if (!is_name) return fail(expected(p, "a field name"));
  std::string name(token.text);
  p.advance();
  return name;
}

Result<Path> parse_path(Parser& p) {
  Path path;
  path.push_back(DZ_TRY(parse_name(p, true)));
  while (p.at_punct(".")) {
    p.advance();
    path.push_back(DZ_TRY(parse_name(p, false)));
  }
  return path;
}

Result<Operand> parse_value(Parser& p) {
  const Token& token = p.current();
  Operand value;
  switch (token.kind) {
    case TokenKind::Word:
      if (equals_keyword(token.text, "NULL")) {
        value = Value::null();
      } else if (equals_keyword(token.text, "TRUE")) {
        value = Value::boolean(true);
      } else if (equals_keyword(token.text, "FALSE")) {
        value = Value::boolean(false);
      } else {
        return fail(expected(p, "a value"));
      }
      break;
    case TokenKind::StringLit:
      value = Value::string(std::string(token.string_value()));
      break;
    case TokenKind::IntLit:
      value = Value::integer(token.int_value);
      break;
    case TokenKind::FloatLit:
      value = Value::floating(token.float_value);
      break;
    case TokenKind::ParamRef:
      value = Placeholder{token.param};
      break;
    default:
      return fail(expected(p, "a value"));
  }
  p.advance();
  return value;
}

namespace {

struct NamedOp {
  std::string_view text;
  TestOp op;
};

constexpr NamedOp kComparisons[] = {
    {"==", TestOp::Eq}, {"!=", TestOp::Ne}, {"<", TestOp::Lt},
    {"<=", TestOp::Le}, {">", TestOp::Gt},  {">=", TestOp::Ge},
};

constexpr NamedOp kStringTests[] = {
    {"CONTAINS", TestOp::Contains},
    {"STARTSWITH", TestOp::StartsWith},
    {"ENDSWITH", TestOp::EndsWith},
};

}  // namespace

Result<Expr> parse_test(Parser& p) {
  Path path = DZ_TRY(parse_path(p));
  std::vector<Operand> operands;
  if (p.current().kind == TokenKind::Punct) {
    for (const NamedOp& cmp : kComparisons) {
      if (p.current().text == cmp.text) {
        p.advance();
        operands.push_back(DZ_TRY(parse_value(p)));
        return ir::make_test(cmp.op, std::move(path), std::move(operands));
      }
    }
  } else if (p.current().kind == TokenKind::Word) {
    for (const NamedOp& test : kStringTests) {
      if (p.at_keyword(test.text)) {
        p.advance();
        operands.push_back(DZ_TRY(parse_value(p)));
        return ir::make_test(test.op, std::move(path), std::move(operands));
      }
    }
    if (p.at_keyword("BETWEEN")) {
      p.advance();
      operands.push_back(DZ_TRY(parse_value(p)));
      DZ_CHECK(expect_keyword(p, "AND"));
      operands.push_back(DZ_TRY(parse_value(p)));
      return ir::make_test(TestOp::Between, std::move(path), std::move(operands));
    }
    if (p.at_keyword("IN")) {
      p.advance();
      DZ_CHECK(expect_punct(p, "["));
      if (!eat_close_bracket(p)) {
        while (true) {
          operands.push_back(DZ_TRY(parse_value(p)));
          if (eat_close_bracket(p)) break;
          DZ_CHECK(expect_punct(p, ","));
        }
      }
      return ir::make_test(TestOp::In, std::move(path), std::move(operands));
    }
    if (p.at_keyword("IS")) {
      p.advance();
      const bool negated = eat_not(p);
      DZ_CHECK(expect_keyword(p, "NULL"));
      Expr test = ir::make_is_null(std::move(path));
      return negated ? ir::make_not(std::move(test)) : std::move(test);
    }
  }
  return fail(expected(p, "a comparison"));
}

Result<Expr> parse_or(Parser& p);

Result<Expr> parse_unary(Parser& p) {
  ++p.depth;
  if (p.depth > kMaxUnaryDepth) {
    return fail(error_at(p.current().pos,
                         format_text("the filter nests more than {} levels deep", kMaxUnaryDepth)));
  }
  Expr result;
  if (p.at_punct("(")) {
    p.advance();
    result = DZ_TRY(parse_or(p));
    DZ_CHECK(expect_punct(p, ")"));
  } else if (eat_not(p)) {
    result = ir::make_not(DZ_TRY(parse_unary(p)));
  } else {
    result = DZ_TRY(parse_test(p));
  }
  --p.depth;
  return result;
}

Result<Expr> parse_and(Parser& p) {
  Expr first = DZ_TRY(parse_unary(p));
  if (!p.at_keyword("AND")) return first;
  ExprList children;
  children.push_back(std::move(first));
  while (p.at_keyword("AND")) {
    p.advance();
    children.push_back(DZ_TRY(parse_unary(p)));
  }
  return ir::make_and(std::move(children));
}

Result<Expr> parse_or(Parser& p) {
  Expr first = DZ_TRY(parse_and(p));
  if (!p.at_keyword("OR")) return first;
  ExprList children;
  children.push_back(std::move(first));
  while (p.at_keyword("OR")) {
    p.advance();
    children.push_back(DZ_TRY(parse_and(p)));
  }
  return ir::make_or(std::move(children));
}

// The number after LIMIT or OFFSET.
Result<std::uint64_t> parse_count(Parser& p) {
  const Token& token = p.current();
  if (token.kind != TokenKind::IntLit) return fail(expected(p, "a number"));
  if (token.int_value < 0) return fail(error_at(token.pos, "a limit or an offset is not negative"));
  p.advance();
  return static_cast<std::uint64_t>(token.int_value);
}

Result<std::vector<SortKey>> parse_sort_keys(Parser& p) {
  std::vector<SortKey> keys;
  while (true) {
    SortKey key;
    key.path = DZ_TRY(parse_path(p));
    if (p.at_keyword("ASC")) {
      p.advance();
    } else if (p.at_keyword("DESC")) {
      p.advance();
      key.descending = true;
    }
    keys.push_back(std::move(key));
    if (!p.at_punct(",")) return keys;
    p.advance();
  }
}

Result<Query> parse_query(std::string_view text) {
  Parser p;
  p.tokens = DZ_TRY(lex(text));
  Query query;
  const bool no_filter = p.current().kind == TokenKind::End || p.at_keyword("SORT") ||
                         p.at_keyword("LIMIT") || p.at_keyword("OFFSET");
  if (!no_filter) query.filter = DZ_TRY(parse_or(p));
  if (p.at_keyword("SORT")) {
    p.advance();
    DZ_CHECK(expect_keyword(p, "BY"));
    query.sort_keys = DZ_TRY(parse_sort_keys(p));
  }
  if (p.at_keyword("LIMIT")) {
    p.advance();
    query.limit = DZ_TRY(parse_count(p));
  }
  if (p.at_keyword("OFFSET")) {
    p.advance();
    query.offset = DZ_TRY(parse_count(p));
  }
  if (p.current().kind != TokenKind::End) return fail(expected(p, kClauseOrEnd));
  return query;
}

}  // namespace deziro::parse
