// The reading members of NativeTransaction: get, find, find_one and count.
// Each runs in three stages: its arguments are converted with the
// interpreter lock held (prepare_*), the engine works with it released and
// the transaction's mutex held (run_*), and the result is built once the
// lock is back (build_*).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "format/object/value.hpp"
#include "layout.hpp"
#include "python.hpp"
#include "query/params.hpp"
#include "record_collector.hpp"
#include "records.hpp"
#include "transaction.hpp"

namespace deziro::binding::reading {

// What a read converted while the interpreter lock was held. The views
// borrow the call's arguments, which outlive the call.
struct ReadRequest {
  std::string_view collection;
  // Null: objects come back as dicts.
  const LayoutData* layout = nullptr;
  // get.
  std::optional<Value> key;
  // find, find_one and count: the call's own binding of the query.
  std::optional<BoundQuery> query;
};

// What the engine found, ready to become Python objects.
struct ReadResult {
  // Through a layout: the records and the mapping that decodes them.
  RecordCollector records;
  std::optional<BoundMapping> mapping;
  // Without a layout: the objects by stored field names.
  std::vector<ObjectMap> maps;
  std::uint64_t count = 0;
};

// The arguments, parsed and converted; nothing with the exception set.
std::optional<ReadRequest> prepare_get(PyObject* args, PyObject* kwargs);
std::optional<ReadRequest> prepare_find(PyObject* args, PyObject* kwargs, bool first_only);
std::optional<ReadRequest> prepare_count(PyObject* args, PyObject* kwargs);

// The engine work, in any state but Ended (CLOSED); called with the
// interpreter lock released and the transaction's mutex held.
Result<ReadResult> run_get(transaction::State& state, const ReadRequest& request);
Result<ReadResult> run_find(transaction::State& state, const ReadRequest& request);
Result<ReadResult> run_count(transaction::State& state, const ReadRequest& request);

// The results; new references, or null with the exception set.
// get and find_one: the first object found, or None.
PyObject* build_first(const ReadRequest& request, const ReadResult& result);
PyObject* build_list(const ReadRequest& request, const ReadResult& result);
PyObject* build_count(const ReadResult& result);

}  // namespace deziro::binding::reading
