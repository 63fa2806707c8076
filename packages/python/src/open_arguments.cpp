#include "open_arguments.hpp"

#include <charconv>
#include <cmath>
#include <span>
#include <string>
#include <string_view>

#include "arguments.hpp"
#include "errors.hpp"
#include "py_ref.hpp"
#include "sequence.hpp"
#include "text_format.hpp"

namespace deziro::binding::options {

namespace {

std::nullopt_t invalid_argument(std::string_view message) {
  new_dazi_error(ErrorKind::InvalidArgument, message);
  return std::nullopt;
}

// Overwrites the contents of a bytes object this call made and alone holds
// (a memoryview's copy, a str's UTF-8) before it is released. The
// interpreter shares its bytes objects of length 0 and 1, never to be
// changed; a one-byte secret in one of those was in the interpreter already.
void wipe_own_bytes(PyObject* bytes) {
  Py_ssize_t size = PyBytes_Size(bytes);
  if (size <= 1 || Py_REFCNT(bytes) != 1) return;
  char* data = PyBytes_AsString(bytes);
  if (data != nullptr)
    wipe({reinterpret_cast<std::uint8_t*>(data), static_cast<std::size_t>(size)});
}

// A zeroing holder of a temporary bytes object.
class TemporaryBytes {
 public:
  explicit TemporaryBytes(PyRef bytes) : bytes_(std::move(bytes)) {}
  ~TemporaryBytes() {
    if (bytes_) wipe_own_bytes(bytes_.get());
  }
  TemporaryBytes(const TemporaryBytes&) = delete;
  TemporaryBytes& operator=(const TemporaryBytes&) = delete;
  PyObject* get() const { return bytes_.get(); }

 private:
  PyRef bytes_;
};

bool is_bytes_like(PyObject* object) {
  return PyBytes_Check(object) || PyByteArray_Check(object) ||
         Py_TYPE(object) == &PyMemoryView_Type;
}

// Calls `use` with the contents of a bytes-like object, read in place for
// bytes and bytearray and through a zeroed copy for a memoryview. False with
// the exception set when they cannot be read.
template <typename Use>
bool with_contents(PyObject* object, Use&& use) {
  if (PyBytes_Check(object)) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(object, &data, &size) < 0) return false;
    use(std::span(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)));
    return true;
  }
  if (PyByteArray_Check(object)) {
    const char* data = PyByteArray_AsString(object);
    Py_ssize_t size = PyByteArray_Size(object);
    if (data == nullptr || size < 0) return false;
    use(std::span(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)));
    return true;
  }
  TemporaryBytes copy(PyRef::steal(
      PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyBytes_Type), object, nullptr)));
  if (!copy.get()) return false;
  return with_contents(copy.get(), std::forward<Use>(use));
}

// The shortest decimal that reads back as `seconds`, without an exponent:
// the shortest digits that `to_chars` finds, with their exponent written
// out as zeros or as the place of the point (2^64 is 18446744073709552000,
// not the 18446744073709551616 of the exact value).
std::string shortest_decimal(double seconds) {
  if (std::isnan(seconds)) return "NaN";
  if (std::isinf(seconds)) return seconds < 0 ? "-inf" : "inf";
  char text[32];
  auto written = std::to_chars(text, text + sizeof text, seconds, std::chars_format::scientific);
  std::string_view form(text, written.ptr);  // [-]D[.DDD]e(+|-)XX
  std::string out;
  if (form.front() == '-') {
    out += '-';
    form.remove_prefix(1);
  }
  std::size_t e = form.find('e');
  std::string digits(form.substr(0, e));
  if (digits.size() > 1) digits.erase(1, 1);  // the point after the first digit
  int exponent = 0;
  std::string_view power = form.substr(e + 1);
  if (power.front() == '+') power.remove_prefix(1);
  std::from_chars(power.data(), power.data() + power.size(), exponent);
  // The value is 0.DIGITS times 10^point.
  int point = exponent + 1;
  auto count = static_cast<int>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(static_cast<std::size_t>(point - count), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits, static_cast<std::size_t>(point));
  }
  return out;
}

// 128 bits: a timeout in nanoseconds can exceed 64.
__extension__ using Wide = unsigned __int128;

// `seconds` (0 to 2^64) in nanoseconds, exactly rounded, ties to even,
// capped at kLongestTimeout.
std::chrono::nanoseconds exact_nanoseconds(double seconds) {
  int exponent = 0;
  double fraction = std::frexp(seconds, &exponent);
  // seconds = mantissa * 2^(exponent - 53), mantissa below 2^53.
  auto mantissa = static_cast<Wide>(std::ldexp(fraction, 53));
  int shift = exponent - 53;
  Wide scaled = mantissa * 1000000000u;  // below 2^83
  Wide nanos;
  if (shift >= 0) {
    nanos = scaled << shift;  // seconds < 2^64, so shift <= 11
  } else if (-shift >= 100) {
    nanos = 0;  // below 2^-17 ns
  } else {
    Wide one = 1;
    Wide quotient = scaled >> -shift;
    Wide remainder = scaled & ((one << -shift) - 1);
    Wide half = one << (-shift - 1);
    if (remainder > half || (remainder == half && (quotient & 1) != 0)) ++quotient;
    nanos = quotient;
  }
  auto longest = static_cast<Wide>(kLongestTimeout.count());
  return std::chrono::nanoseconds(static_cast<std::int64_t>(nanos < longest ? nanos : longest));
}

}  // namespace

std::optional<Key32> extract_key(PyObject* object) {
  if (!is_bytes_like(object)) return invalid_argument("a key is 32 bytes");
  std::optional<Key32> key;
  std::size_t length = 0;
  bool read = with_contents(object, [&](std::span<const std::uint8_t> bytes) {
    length = bytes.size();
    if (bytes.size() == Key32::kSize) key.emplace(bytes.first<Key32::kSize>());
  });
  if (!read) return std::nullopt;
  if (!key) return invalid_argument(format_text("a key is 32 bytes, not {}", length));
  return key;
}

std::optional<SecretBytes> extract_password(PyObject* object) {
  if (PyUnicode_Check(object)) {
    // Through a bytes object of our own, zeroed before it goes: the UTF-8
    // form the interpreter caches inside the str would outlive the call.
    TemporaryBytes utf8(PyRef::steal(PyUnicode_AsUTF8String(object)));
    if (!utf8.get()) return std::nullopt;
    std::optional<SecretBytes> password;
    if (!with_contents(utf8.get(), [&](auto bytes) { password.emplace(bytes); })) {
      return std::nullopt;
    }
    return password;
  }
  if (!is_bytes_like(object)) return invalid_argument("a password is a str or bytes");
  std::optional<SecretBytes> password;
  if (!with_contents(object, [&](auto bytes) { password.emplace(bytes); })) return std::nullopt;
  return password;
}

std::optional<std::chrono::nanoseconds> timeout_from_seconds(double seconds) {
  // 2^64 seconds and beyond are refused; so is every negative number
  // (-0.0 is not below zero).
  if (std::isnan(seconds) || seconds < 0 || seconds >= 18446744073709551616.0) {
    return invalid_argument(
        format_text("a timeout is a number of seconds, not {}", shortest_decimal(seconds)));
  }
  return exact_nanoseconds(seconds);
}

std::optional<std::string> file_path_from_python(PyObject* object) {
  PyRef path = PyRef::steal(PyOS_FSPath(object));
  if (!path) {
    name_argument_in_error("path");
    return std::nullopt;
  }
  if (!PyUnicode_Check(path.get())) {
    PyErr_SetString(PyExc_TypeError,
                    "argument 'path': expected a str or a path-like object "
                    "whose path is a str");
    return std::nullopt;
  }
  PyRef encoded = PyRef::steal(PyUnicode_EncodeFSDefault(path.get()));
  if (!encoded) return std::nullopt;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) < 0) return std::nullopt;
  std::string bytes(data, static_cast<std::size_t>(size));
  // The system calls would end the path at the NUL and reach another file.
  if (bytes.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return std::nullopt;
  }
  return bytes;
}

std::optional<PasswordHashing> hashing_from_python(PyObject* object) {
  constexpr const char* name = "password_hashing";
  auto items = fixed_tuple(object, 3, name);
  if (!items) return std::nullopt;
  auto memory = to_u32((*items)[0], name);
  if (!memory) return std::nullopt;
  auto iterations = to_u32((*items)[1], name);
  if (!iterations) return std::nullopt;
  auto parallelism = to_u32((*items)[2], name);
  if (!parallelism) return std::nullopt;
  return PasswordHashing{*memory, *iterations, *parallelism};
}

}  // namespace deziro::binding::options
