// The engine's one error type. Every fallible engine call returns a
// Result<T>; errors are passed up unchanged and never thrown.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace deziro {

// The order is part of the external interface: the index is the code's number.
enum class ErrorKind : std::uint8_t {
  Io,
  NotFound,
  NotADatabase,
  UnsupportedFormatVersion,
  Corrupted,
  InvalidArgument,
  Closed,
  Busy,
  SyncFailed,
  KeyRequired,
  WrongKey,
  UnsupportedFileSystem,
  SchemaMismatch,
  SchemaTooNew,
  DuplicateKey,
  InvalidQuery,
  MigrationFailed,
  Internal,
};

inline constexpr int kErrorKindCount = 18;

// The code name that Python sees, such as "INVALID_ARGUMENT".
std::string_view error_code_name(ErrorKind kind);

// The newest file format version this build reads and writes.
inline constexpr std::uint32_t kNewestFormatVersion = 6;

struct HeaderFailure;

class Error {
 public:
  static Error io(std::string path, std::string os_error);
  // An I/O error from errno: the text is the system's description.
  static Error io_errno(std::string path, int errnum);
  static Error not_found(std::string path);
  static Error not_a_database(std::string path);
  static Error unsupported_format_version(std::string path, std::uint32_t found,
                                          std::uint32_t newest = kNewestFormatVersion);
  static Error corrupted(std::string path, std::string message);
  static Error invalid_argument(std::string message);
  static Error closed();
  static Error busy(std::string path);
  static Error sync_failed(std::string path, std::optional<std::string> os_error = std::nullopt);
  static Error key_required(std::string path);
  static Error wrong_key(std::string path);
  static Error unsupported_file_system(std::string path);
  static Error schema_mismatch(std::string message);
  static Error schema_too_new(std::uint64_t stored, std::uint64_t declared);
  static Error duplicate_key(std::string message);
  static Error invalid_query(std::string message);
  static Error migration_failed(std::string message);
  static Error internal(std::string message);
  // NOT_A_DATABASE, UNSUPPORTED_FORMAT_VERSION or CORRUPTED for a refused
  // static header (defined with the header format).
  static Error from_header(std::string path, const HeaderFailure& failure);

  Error(const Error& other);
  Error& operator=(const Error& other);
  Error(Error&& other) noexcept;
  Error& operator=(Error&& other) noexcept;
  ~Error();

  ErrorKind kind() const { return kind_; }
  std::string_view code_name() const { return error_code_name(kind_); }

  // The display text: the message VevaDuzor carries.
  std::string to_string() const;

  // Payload accessors; empty where the kind has no such field.
  std::string_view path() const;
  // The message of CORRUPTED, INVALID_ARGUMENT, SCHEMA_MISMATCH,
  // DUPLICATE_KEY, INVALID_QUERY, MIGRATION_FAILED and INTERNAL; the OS
  // error text of IO and SYNC_FAILED.
  std::string_view message() const;
  bool has_os_error() const;
  // UNSUPPORTED_FORMAT_VERSION: found and newest; SCHEMA_TOO_NEW: stored and declared.
  std::uint64_t first_number() const;
  std::uint64_t second_number() const;

  bool operator==(const Error& other) const;

 private:
  struct Payload;
  Error(ErrorKind kind, std::unique_ptr<Payload> payload);

  ErrorKind kind_;
  // Kept behind a pointer so that Result<T> stays small on hot paths.
  std::unique_ptr<Payload> payload_;
};

template <typename T>
using Result = std::expected<T, Error>;

using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(Error error) { return std::unexpected<Error>(std::move(error)); }

inline Status ok() { return {}; }

}  // namespace deziro

// Propagates the error of a Result-returning expression, or yields its value.
// Statement-expression form keeps call sites flat; GCC and Clang both accept it.
#define DZ_TRY(expr)                                                                \
  __extension__({                                                                   \
    auto dz_try_result_ = (expr);                                                   \
    if (!dz_try_result_) return std::unexpected(std::move(dz_try_result_).error()); \
    std::move(dz_try_result_).value();                                              \
  })

#define DZ_CHECK(expr)                                                                  \
  do {                                                                                  \
    auto dz_check_result_ = (expr);                                                     \
    if (!dz_check_result_) return std::unexpected(std::move(dz_check_result_).error()); \
  } while (0)
