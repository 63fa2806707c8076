#include "error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

namespace deziro {
namespace DZ_FILE_LOCAL {

TEST(ErrorDisplay, EveryKindHasItsOwnText) {
  EXPECT_EQ(Error::io("/d/x.db", "Permission denied (os error 13)").to_string(),
            "I/O error on `/d/x.db`: Permission denied (os error 13)");
  EXPECT_EQ(Error::not_found("a.db").to_string(), "no database exists at `a.db`");
  EXPECT_EQ(Error::not_a_database("a.db").to_string(), "`a.db` is not a DeziRO database");
  EXPECT_EQ(Error::unsupported_format_version("a.db", 9).to_string(),
            "`a.db` uses format version 9, which this build does not read; the newest it reads "
            "is 6");
  EXPECT_EQ(Error::corrupted("a.db", "page 7 fails its check").to_string(),
            "`a.db` is damaged: page 7 fails its check");
  EXPECT_EQ(Error::invalid_argument("the password is empty").to_string(), "the password is empty");
  EXPECT_EQ(Error::closed().to_string(), "the database has been closed");
  EXPECT_EQ(Error::busy("a.db").to_string(),
            "`a.db` stayed busy for longer than the busy timeout: another write transaction held "
            "it, another process was recovering it, or salvage needed it alone");
  EXPECT_EQ(Error::key_required("a.db").to_string(),
            "`a.db` is encrypted; open it with its key or password");
  EXPECT_EQ(Error::wrong_key("a.db").to_string(), "the key or password does not open `a.db`");
  EXPECT_EQ(Error::unsupported_file_system("a.db").to_string(),
            "`a.db` is on a network file system, or on one whose file locks do not work; a "
            "database has to be on a local disk");
  EXPECT_EQ(Error::schema_mismatch("m").to_string(), "m");
  EXPECT_EQ(Error::schema_too_new(4, 3).to_string(),
            "the file holds schema version 4, newer than the version 3 declared");
  EXPECT_EQ(Error::duplicate_key("d").to_string(), "d");
  EXPECT_EQ(Error::invalid_query("x").to_string(), "invalid query: x");
  EXPECT_EQ(Error::migration_failed("y").to_string(), "migration failed: y");
  EXPECT_EQ(Error::internal("z").to_string(), "internal error, which is a bug in DeziRO: z");
}

TEST(ErrorDisplay, SyncFailedAppendsTheOsErrorOnlyWhenHeld) {
  const std::string base =
      "a sync of `a.db` failed, so the last commit's outcome is unknown; open the database again";
  EXPECT_EQ(Error::sync_failed("a.db").to_string(), base);
  EXPECT_EQ(Error::sync_failed("a.db", "Input/output error (os error 5)").to_string(),
            base + ": Input/output error (os error 5)");
}

TEST(ErrorDisplay, IoErrorFromErrnoReadsLikeTheSystemsOwnText) {
  EXPECT_EQ(Error::io_errno("a.db", ENOENT).to_string(),
            "I/O error on `a.db`: No such file or directory (os error 2)");
  const Error unknown = Error::io_errno("a.db", 9999);
  EXPECT_EQ(unknown.kind(), ErrorKind::Io);
  EXPECT_TRUE(unknown.to_string().ends_with(" (os error 9999)")) << unknown.to_string();
}

TEST(ErrorCodes, NamesFollowTheFixedOrder) {
  const char* expected[] = {"IO",
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
                            "INTERNAL"};
  for (int i = 0; i < kErrorKindCount; ++i) {
    EXPECT_EQ(error_code_name(static_cast<ErrorKind>(i)), expected[i]) << i;
  }
}

TEST(ErrorValue, CopiesAreIndependentAndEqual) {
  Error a = Error::corrupted("p", "m");
  Error b = a;
  EXPECT_EQ(a, b);
  b = Error::closed();
  EXPECT_EQ(a.to_string(), "`p` is damaged: m");
  EXPECT_NE(a, b);
}

Result<int> half(int x) {
  if (x % 2) return fail(Error::invalid_argument("odd"));
  return x / 2;
}

Result<int> quarter(int x) {
  int h = DZ_TRY(half(x));
  return DZ_TRY(half(h));
}

TEST(ErrorValue, TryPropagatesTheFirstFailureUnchanged) {
  EXPECT_EQ(*quarter(8), 2);
  auto r = quarter(6);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(r.error().to_string(), "odd");
}

}  // namespace DZ_FILE_LOCAL
}  // namespace deziro
