#include "error.hpp"

#include <cstring>
#include <iterator>

#include "text_format.hpp"

namespace deziro {

struct Error::Payload {
  std::string path;
  std::string message;
  bool has_os_error = false;
  std::uint64_t first = 0;
  std::uint64_t second = 0;
};

namespace {

constexpr std::string_view kCodeNames[] = {
    "IO",
    "NOT_FOUND",
    "NOT_A_DATABASE",
    "UNSUPPORTED_FORMAT_VERSION",
    "CORRUPTED",
    "INVALID_ARGUMENT",
    "CLOSED",
    "BUSY",
    "SYNC_FAILED",
    "KEY_REQUIRED",
    "WRONG_KEY",
    "UNSUPPORTED_FILE_SYSTEM",
    "SCHEMA_MISMATCH",
    "SCHEMA_TOO_NEW",
    "DUPLICATE_KEY",
    "INVALID_QUERY",
    "MIGRATION_FAILED",
    "INTERNAL",
};
static_assert(std::size(kCodeNames) == kErrorKindCount, "one code name per error kind");

// The system's description of an errno value. strerror may write into a
// shared buffer for unknown values, so the reentrant form is used.
std::string describe_errno(int errnum) {
  char buffer[256];
  // GNU strerror_r returns the text, in `buffer` or in static storage.
  return strerror_r(errnum, buffer, sizeof buffer);
}

}  // namespace

std::string_view error_code_name(ErrorKind kind) { return kCodeNames[static_cast<int>(kind)]; }

Error::Error(ErrorKind kind, std::unique_ptr<Payload> payload)
    : kind_(kind), payload_(std::move(payload)) {}

Error::Error(const Error& other)
    : kind_(other.kind_),
      payload_(other.payload_ ? std::make_unique<Payload>(*other.payload_) : nullptr) {}

Error& Error::operator=(const Error& other) {
  if (this != &other) {
    kind_ = other.kind_;
    payload_ = other.payload_ ? std::make_unique<Payload>(*other.payload_) : nullptr;
  }
  return *this;
}

Error::Error(Error&& other) noexcept = default;
Error& Error::operator=(Error&& other) noexcept = default;
Error::~Error() = default;

Error Error::io(std::string path, std::string os_error) {
  auto p = std::make_unique<Payload>();
  p->path = std::move(path);
  p->message = std::move(os_error);
  p->has_os_error = true;
  return Error(ErrorKind::Io, std::move(p));
}

Error Error::io_errno(std::string path, int errnum) {
  return io(std::move(path), format_text("{} (os error {})", describe_errno(errnum), errnum));
}

#define DZ_PATH_ONLY(fn, kind)                   \
  Error Error::fn(std::string path) {            \
    auto p = std::make_unique<Payload>();        \
    p->path = std::move(path);                   \
    return Error(ErrorKind::kind, std::move(p)); \
  }
#define DZ_MESSAGE_ONLY(fn, kind)                \
  Error Error::fn(std::string message) {         \
    auto p = std::make_unique<Payload>();        \
    p->message = std::move(message);             \
    return Error(ErrorKind::kind, std::move(p)); \
  }

DZ_PATH_ONLY(not_found, NotFound)
DZ_PATH_ONLY(not_a_database, NotADatabase)
DZ_PATH_ONLY(busy, Busy)
DZ_PATH_ONLY(key_required, KeyRequired)
DZ_PATH_ONLY(wrong_key, WrongKey)
DZ_PATH_ONLY(unsupported_file_system, UnsupportedFileSystem)
DZ_MESSAGE_ONLY(invalid_argument, InvalidArgument)
DZ_MESSAGE_ONLY(schema_mismatch, SchemaMismatch)
DZ_MESSAGE_ONLY(duplicate_key, DuplicateKey)
DZ_MESSAGE_ONLY(invalid_query, InvalidQuery)
DZ_MESSAGE_ONLY(migration_failed, MigrationFailed)
DZ_MESSAGE_ONLY(internal, Internal)

#undef DZ_PATH_ONLY
#undef DZ_MESSAGE_ONLY

Error Error::unsupported_format_version(std::string path, std::uint32_t found,
                                        std::uint32_t newest) {
  auto p = std::make_unique<Payload>();
  p->path = std::move(path);
  p->first = found;
  p->second = newest;
  return Error(ErrorKind::UnsupportedFormatVersion, std::move(p));
}

Error Error::corrupted(std::string path, std::string message) {
  auto p = std::make_unique<Payload>();
  p->path = std::move(path);
  p->message = std::move(message);
  return Error(ErrorKind::Corrupted, std::move(p));
}

Error Error::closed() { return Error(ErrorKind::Closed, nullptr); }

Error Error::sync_failed(std::string path, std::optional<std::string> os_error) {
  auto p = std::make_unique<Payload>();
  p->path = std::move(path);
  if (os_error) {
    p->message = std::move(*os_error);
    p->has_os_error = true;
  }
  return Error(ErrorKind::SyncFailed, std::move(p));
}

Error Error::schema_too_new(std::uint64_t stored, std::uint64_t declared) {
  auto p = std::make_unique<Payload>();
  p->first = stored;
  p->second = declared;
  return Error(ErrorKind::SchemaTooNew, std::move(p));
}

std::string_view Error::path() const { return payload_ ? std::string_view(payload_->path) : ""; }
std::string_view Error::message() const {
  return payload_ ? std::string_view(payload_->message) : "";
}
bool Error::has_os_error() const { return payload_ && payload_->has_os_error; }
std::uint64_t Error::first_number() const { return payload_ ? payload_->first : 0; }
std::uint64_t Error::second_number() const { return payload_ ? payload_->second : 0; }

bool Error::operator==(const Error& other) const {
  return kind_ == other.kind_ && path() == other.path() && message() == other.message() &&
         has_os_error() == other.has_os_error() && first_number() == other.first_number() &&
         second_number() == other.second_number();
}

std::string Error::to_string() const {
  const std::string_view path = this->path();
  const std::string_view message = this->message();
  switch (kind_) {
    case ErrorKind::Io:
      return format_text("I/O error on `{}`: {}", path, message);
    case ErrorKind::NotFound:
      return format_text("no database exists at `{}`", path);
    case ErrorKind::NotADatabase:
      return format_text("`{}` is not a DeziRO database", path);
    case ErrorKind::UnsupportedFormatVersion:
      return format_text(
          "`{}` uses format version {}, which this build does not read; the newest it reads is {}",
          path, first_number(), second_number());
    case ErrorKind::Corrupted:
      return format_text("`{}` is damaged: {}", path, message);
    case ErrorKind::InvalidArgument:
    case ErrorKind::SchemaMismatch:
    case ErrorKind::DuplicateKey:
      return std::string(message);
    case ErrorKind::Closed:
      return "the database has been closed";
    case ErrorKind::Busy:
      return format_text(
          "`{}` stayed busy for longer than the busy timeout: another write transaction held it, "
          "another process was recovering it, or salvage needed it alone",
          path);
    case ErrorKind::SyncFailed: {
      std::string text = format_text(
          "a sync of `{}` failed, so the last commit's outcome is unknown; open the database again",
          path);
      if (has_os_error()) text += format_text(": {}", message);
      return text;
    }
    case ErrorKind::KeyRequired:
      return format_text("`{}` is encrypted; open it with its key or password", path);
    case ErrorKind::WrongKey:
      return format_text("the key or password does not open `{}`", path);
    case ErrorKind::UnsupportedFileSystem:
      return format_text(
          "`{}` is on a network file system, or on one whose file locks do not work; a database "
          "has to be on a local disk",
          path);
    case ErrorKind::SchemaTooNew:
      return format_text("the file holds schema version {}, newer than the version {} declared",
                         first_number(), second_number());
    case ErrorKind::InvalidQuery:
      return format_text("invalid query: {}", message);
    case ErrorKind::MigrationFailed:
      return format_text("migration failed: {}", message);
    case ErrorKind::Internal:
      return format_text("internal error, which is a bug in DeziRO: {}", message);
  }
  return "unknown error";
}

}  // namespace deziro
