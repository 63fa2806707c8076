// The module function `open`: its arguments into OpenOptions with the
// interpreter lock held, then the option check and the open itself without
// it (a lock wait or Argon2id may take long), then a NativeDatabase, or the
// NativeTransaction of the migration under way.
#include <string>

#include "arguments.hpp"
#include "call_frame.hpp"
#include "database.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "native_database.hpp"
#include "open_arguments.hpp"
#include "py_ref.hpp"
#include "schema.hpp"
#include "schema/declare.hpp"
#include "sequence.hpp"
#include "transaction.hpp"

namespace deziro::binding::database {

namespace {

constexpr const char* kMigrations = "migrations";

// A sequence of tuples of `size` str.
template <std::size_t Size, typename Make>
bool str_tuples(PyObject* sequence, Make&& make) {
  return for_each_in_sequence(sequence, kMigrations, [&](PyObject* item) {
    std::array<std::string, Size> parts;
    if constexpr (Size == 1) {
      auto text = to_str(item, kMigrations);
      if (!text) return false;
      parts[0] = std::string(*text);
    } else {
      auto items = fixed_tuple(item, Size, kMigrations);
      if (!items) return false;
      for (std::size_t i = 0; i < Size; ++i) {
        auto text = to_str((*items)[i], kMigrations);
        if (!text) return false;
        parts[i] = std::string(*text);
      }
    }
    make(std::move(parts));
    return true;
  });
}

std::optional<DeclaredMigration> migration_from_python(PyObject* item) {
  auto parts = fixed_tuple(item, 5, kMigrations);
  if (!parts) return std::nullopt;
  const std::vector<PyObject*>& p = *parts;
  DeclaredMigration migration;
  auto version = to_u64(p[0], kMigrations);
  if (!version) return std::nullopt;
  migration.version = *version;
  bool read = str_tuples<2>(p[1], [&](auto parts) {
    migration.collection_renames.push_back({std::move(parts[0]), std::move(parts[1])});
  });
  read = read && str_tuples<3>(p[2], [&](auto parts) {
           migration.field_renames.push_back(
               {std::move(parts[0]), std::move(parts[1]), std::move(parts[2])});
         });
  read = read && str_tuples<1>(p[3], [&](auto parts) {
           migration.collection_deletions.push_back(std::move(parts[0]));
         });
  read = read && str_tuples<2>(p[4], [&](auto parts) {
           migration.field_replacements.push_back({std::move(parts[0]), std::move(parts[1])});
         });
  if (!read) return std::nullopt;
  return migration;
}

std::optional<std::vector<DeclaredMigration>> migrations_from_python(PyObject* sequence) {
  std::vector<DeclaredMigration> migrations;
  bool read = for_each_in_sequence(sequence, kMigrations, [&](PyObject* item) {
    auto migration = migration_from_python(item);
    if (!migration) return false;
    migrations.push_back(std::move(*migration));
    return true;
  });
  if (!read) return std::nullopt;
  return migrations;
}

// Converts `value` with `convert` into `field` when it is given and not
// None; false with the exception set when the conversion fails.
template <typename Field, typename Convert>
bool set_if_given(PyObject* value, Field& field, Convert&& convert) {
  if (is_absent(value)) return true;
  auto converted = convert(value);
  if (!converted) return false;
  field = std::move(*converted);
  return true;
}

const char* const open_arguments[] = {
    "path",      "create", "page_size", "busy_timeout",     "cache_size",     "schema",
    kMigrations, "key",    "password",  "password_hashing", "upgrade_format", nullptr};

// The options of `open`, in the order their checks are met; the secrets
// are in `options.credential`, zeroed with the options.
std::optional<OpenOptions> options_from_python(PyObject* const (&given)[10]) {
  auto [create, page_size, busy_timeout, cache_size, schema_object, migrations, key, password,
        hashing, upgrade] = given;
  OpenOptions options;
  if (!set_if_given(create, options.create, [](PyObject* v) { return to_bool(v, "create"); }) ||
      !set_if_given(page_size, options.page_size,
                    [](PyObject* v) { return to_u32(v, "page_size"); })) {
    return std::nullopt;
  }
  std::optional<double> timeout_seconds;
  if (!is_absent(busy_timeout)) {
    timeout_seconds = to_f64(busy_timeout, "busy_timeout");
    if (!timeout_seconds) return std::nullopt;
  }
  if (!set_if_given(cache_size, options.cache_size,
                    [](PyObject* v) { return to_u64(v, "cache_size"); })) {
    return std::nullopt;
  }
  const DeclaredSchema* declared = nullptr;
  if (!is_absent(schema_object)) {
    declared = schema::declared_schema_of(schema_object);
    if (declared == nullptr) {
      name_argument_in_error("schema");
      return std::nullopt;
    }
  }
  if (migrations != nullptr) {
    auto list = migrations_from_python(migrations);
    if (!list) return std::nullopt;
    options.migrations = std::move(*list);
  }
  if (!set_if_given(hashing, options.password_hashing, options::hashing_from_python) ||
      !set_if_given(upgrade, options.upgrade_format,
                    [](PyObject* v) { return to_bool(v, "upgrade_format"); })) {
    return std::nullopt;
  }
  if (!is_absent(key) && !is_absent(password)) {
    new_dazi_error(ErrorKind::InvalidArgument, "give a key or a password, not both");
    return std::nullopt;
  }
  if (timeout_seconds) {
    auto timeout = options::timeout_from_seconds(*timeout_seconds);
    if (!timeout) return std::nullopt;
    options.busy_timeout = *timeout;
  }
  if (declared != nullptr) options.schema = std::make_shared<const DeclaredSchema>(*declared);
  if (!is_absent(key)) {
    std::optional<Key32> bytes = options::extract_key(key);
    if (!bytes) return std::nullopt;
    options.credential = Credential::key(std::move(*bytes));
  }
  if (!is_absent(password)) {
    std::optional<SecretBytes> bytes = options::extract_password(password);
    if (!bytes) return std::nullopt;
    options.credential = Credential::password(std::move(*bytes));
  }
  return options;
}

PyObject* open(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* path_object = nullptr;
    PyObject* given[10] = {};
    auto& [create, page_size, busy_timeout, cache_size, schema_object, migrations, key, password,
           hashing, upgrade] = given;
    if (!parse_arguments(args, kwargs, "O|$OOOOOOOOOO:open", open_arguments, &path_object, &create,
                         &page_size, &busy_timeout, &cache_size, &schema_object, &migrations, &key,
                         &password, &hashing, &upgrade)) {
      return nullptr;
    }
    auto path = options::file_path_from_python(path_object);
    if (!path) return nullptr;
    std::optional<OpenOptions> options = options_from_python(given);
    if (!options) return nullptr;
    Result<OpenedDatabase> opened = without_gil([&]() -> Result<OpenedDatabase> {
      DZ_CHECK(declare::validate_options(*options));
      auto result = Database::open(*path, *options);
      // The secret goes now, not when the call returns.
      options.reset();
      return result;
    });
    if (!opened) return raise_engine_error(opened.error());
    if (opened->migration) {
      return transaction::new_migration_transaction(std::move(opened->instance),
                                                    std::move(opened->migration));
    }
    return new_database(std::move(opened->instance), std::move(opened->resolved));
  });
}

PyMethodDef open_method = {
    "open", keywords_function(open), METH_VARARGS | METH_KEYWORDS,
    "open(path, *, create=None, page_size=None, busy_timeout=None, cache_size=None, "
    "schema=None, migrations=..., key=None, password=None, password_hashing=None, "
    "upgrade_format=None)\n--\n\n"
    "Opens the database at `path`. Returns the database, or the transaction\n"
    "of the migration under way when the file holds an older schema."};

}  // namespace

PyMethodDef& open_definition() { return open_method; }

}  // namespace deziro::binding::database
