// Key codec: the input is cut into two keys and into values of every key
// kind. A key that decodes encodes back to the same bytes (a float key to
// its canonical form: the decoder takes any 8 bytes, the encoder writes one
// NaN and one zero); values encode and decode back to themselves; and the
// byte order of two canonical encodings is the order of their values.
#include <cstring>

#include "format/node.hpp"
#include "format/object/key.hpp"
#include "support/fuzz_support.hpp"

using namespace deziro;

namespace {

int sign(int c) { return (c > 0) - (c < 0); }
int sign(std::weak_ordering o) { return o < 0 ? -1 : (o > 0 ? 1 : 0); }

std::vector<std::uint8_t> encoded(const Value& v) {
  std::vector<std::uint8_t> out;
  FUZZ_CHECK(key::encode_value(v, out).has_value(), v.debug_string());
  key::KeyBuffer buffer;
  FUZZ_CHECK(buffer.encode(v).has_value(), v.debug_string());
  const ByteView inline_form = buffer.view();
  FUZZ_CHECK(std::equal(inline_form.begin(), inline_form.end(), out.begin(), out.end()),
             v.debug_string());
  return out;
}

// Whether the key decodes and is in the encoder's form.
bool check_key(ByteView bytes) {
  auto value = key::decode_key(bytes);
  if (!value) return false;
  auto size = key::first_component_size(bytes);
  FUZZ_CHECK(size && *size == bytes.size(), fuzz::hex(bytes));
  const auto again = encoded(*value);
  const bool same = std::equal(again.begin(), again.end(), bytes.begin(), bytes.end());
  FUZZ_CHECK(same || value->kind() == ValueKind::Float,
             fuzz::hex(bytes) + " became " + fuzz::hex(again));
  if (!same) {
    auto canonical = key::decode_key(again);
    FUZZ_CHECK(canonical && Value::cmp(*canonical, *value) == 0, fuzz::hex(bytes));
  }
  return same;
}

// Values of every key kind taken from the input.
std::vector<Value> values_from(ByteView in) {
  std::vector<Value> values{Value::null(), Value::boolean(in.size() % 2 == 0)};
  std::uint64_t word = 0;
  std::memcpy(&word, in.data(), std::min<std::size_t>(8, in.size()));
  values.push_back(Value::integer(static_cast<std::int64_t>(word)));
  values.push_back(Value::integer(static_cast<std::int64_t>(word) >> (word & 63)));
  double real;
  std::memcpy(&real, &word, sizeof real);
  values.push_back(Value::floating(real));
  const ByteView rest = in.size() > 8 ? in.subspan(8) : ByteView();
  values.push_back(Value::bytes(rest));
  if (codec::is_utf8(rest)) values.push_back(Value::string(std::string(rest.begin(), rest.end())));
  return values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView in = fuzz::input_bytes(data, size);
  const std::size_t cut = in.empty() ? 0 : in[0] % in.size();
  const ByteView first = in.subspan(std::min<std::size_t>(1, in.size()), cut);
  const ByteView second = in.subspan(std::min(in.size(), cut + 1));
  if (check_key(first) && check_key(second))
    FUZZ_CHECK(sign(Value::cmp(*key::decode_key(first), *key::decode_key(second))) ==
                   sign(compare_keys(first, second)),
               fuzz::hex(first) + " vs " + fuzz::hex(second));

  const std::vector<Value> values = values_from(in);
  std::vector<std::vector<std::uint8_t>> keys;
  for (const Value& v : values) {
    keys.push_back(encoded(v));
    auto back = key::decode_key(keys.back());
    FUZZ_CHECK(back && Value::cmp(*back, v) == 0, v.debug_string());
  }
  for (std::size_t i = 0; i < values.size(); ++i)
    for (std::size_t j = 0; j < values.size(); ++j)
      FUZZ_CHECK(sign(Value::cmp(values[i], values[j])) == sign(compare_keys(keys[i], keys[j])),
                 values[i].debug_string() + " vs " + values[j].debug_string());
  return 0;
}
