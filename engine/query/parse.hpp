// The parser of query text: a recursive descent over the lexer's tokens.
//
//   query    := [or-expr] [SORT BY key {, key}] [LIMIT n] [OFFSET n] end
//   or-expr  := and-expr {OR and-expr}
//   and-expr := unary {AND unary}
//   unary    := ( or-expr ) | NOT unary | test
//   test     := path (cmp value | CONTAINS|STARTSWITH|ENDSWITH value
//               | BETWEEN value AND value | IN [ [value {, value}] ]
//               | IS [NOT] NULL)
//   key      := path [ASC | DESC]
//
// Keywords are matched ASCII case-insensitively where the grammar expects
// them. Every failure is INVALID_QUERY "at character N: ...".
#pragma once

#include <string_view>

#include "error.hpp"
#include "query/model.hpp"

namespace deziro::parse {

// At most this many unary levels (groups, NOTs, the test itself) nest.
inline constexpr int kMaxUnaryDepth = 48;

Result<Query> parse_query(std::string_view text);

}  // namespace deziro::parse
