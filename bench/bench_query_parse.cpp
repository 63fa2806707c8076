// Costs of the query front ends: parsing a typical query's text, and the
// round through the intermediate form that compile_query takes. SQLite's
// statement preparation of the same question is the peer.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "query/ir.hpp"
#include "query/parse.hpp"

#ifdef DEZIRO_BENCH_HAVE_SQLITE
#include <sqlite3.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kTypical =
    "age >= 18 AND name STARTSWITH \"A\" AND active == true SORT BY name DESC LIMIT 10";
constexpr const char* kTypicalPrepared =
    "age >= $0 AND name STARTSWITH $1 AND active == $2 SORT BY name DESC LIMIT 10";

void report(const char* workload, const char* engine, long ops, Clock::duration elapsed) {
  const double ns = std::chrono::duration<double, std::nano>(elapsed).count();
  std::printf(
      "{\"bench\":\"query_parse\",\"workload\":\"%s\",\"engine\":\"%s\",\"ops\":%ld,"
      "\"ns_per_op\":%.1f,\"ops_per_s\":%.0f}\n",
      workload, engine, ops, ns / static_cast<double>(ops), static_cast<double>(ops) * 1e9 / ns);
  std::fflush(stdout);
}

void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "bench_query_parse: %s\n", what);
    std::exit(1);
  }
}

// The shape both typical queries must have: three tests under one And,
// one descending sort key, limit 10.
bool has_typical_shape(const deziro::Query& q) {
  if (!q.filter || q.filter->kind() != deziro::Expr::Kind::And) return false;
  const auto& children = std::get<deziro::AndExpr>(q.filter->node).children;
  return children.size() == 3 && q.sort_keys.size() == 1 && q.sort_keys[0].descending &&
         q.sort_keys[0].path == deziro::Path{"name"} && q.limit == 10u && q.offset == 0;
}

template <typename Body>
void run(const char* workload, const char* engine, long ops, Body&& body) {
  for (long i = 0; i < ops / 10; ++i) body();  // warm caches and the allocator
  const auto start = Clock::now();
  for (long i = 0; i < ops; ++i) body();
  report(workload, engine, ops, Clock::now() - start);
}

void bench_parse(const char* workload, const char* text) {
  auto checked = deziro::parse::parse_query(text);
  require(checked && has_typical_shape(*checked), "the typical query did not parse as expected");
  run(workload, "deziro", 1'000'000, [&] {
    auto q = deziro::parse::parse_query(text);
    if (!q || !q->filter) std::abort();
  });
}

void bench_ir_round() {
  auto query = deziro::parse::parse_query(kTypicalPrepared).value();
  auto bytes = deziro::ir::write_query("people", query).value();
  auto back = deziro::ir::read_query(bytes);
  require(back && *back == query, "the intermediate form did not read back as written");
  run("read_ir_typical_3_conditions_sort_limit", "deziro", 1'000'000, [&] {
    auto q = deziro::ir::read_query(bytes);
    if (!q || !q->filter) std::abort();
  });
}

#ifdef DEZIRO_BENCH_HAVE_SQLITE
void bench_sqlite_prepare() {
  sqlite3* db = nullptr;
  require(sqlite3_open(":memory:", &db) == SQLITE_OK, "sqlite open failed");
  require(sqlite3_exec(db, "CREATE TABLE people(name TEXT, age INTEGER, active INTEGER)", nullptr,
                       nullptr, nullptr) == SQLITE_OK,
          "sqlite table failed");
  const char* sql =
      "SELECT * FROM people WHERE age >= 18 AND name LIKE 'A%' AND active = 1 "
      "ORDER BY name DESC LIMIT 10";
  run("prepare_typical_3_conditions_sort_limit", "sqlite", 200'000, [&] {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) std::abort();
    sqlite3_finalize(stmt);
  });
  sqlite3_close(db);
}
#endif

}  // namespace

int main() {
  bench_parse("parse_typical_3_conditions_sort_limit", kTypical);
  bench_parse("parse_prepared_3_parameters_sort_limit", kTypicalPrepared);
  bench_ir_round();
#ifdef DEZIRO_BENCH_HAVE_SQLITE
  bench_sqlite_prepare();
#endif
  return 0;
}
