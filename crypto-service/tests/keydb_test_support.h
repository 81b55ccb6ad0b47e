#pragma once
// What the key-database tests stand on: a private ODBC configuration per test process,
// fresh databases from the shipped schemas, and direct SQL past the code under test.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace keydb_test {

struct Backend {
  std::string name;  // the test-name prefix: Sqlite, Postgresql
  bool postgresql;
};
inline void PrintTo(const Backend& backend, std::ostream* out) { *out << backend.name; }

// ODBCSYSINI and ODBCINI in a temp dir of this process, with the drivers found by their
// library path and the test data sources; nothing of the user's configuration is read.
class OdbcSandbox : public testing::Environment {
 public:
  void SetUp() override;
  void TearDown() override;
  static const std::string& Dir();
};

// The data source of each backend, and the ones that cannot be reached.
std::wstring DataSource(const Backend& backend);
std::wstring User(const Backend& backend);
std::wstring Password(const Backend& backend);
struct Unreachable {
  const char* what;
  std::wstring dataSource, user, password;
};
std::vector<Unreachable> UnreachableSources(const Backend& backend);

// Empties the backend's test database and creates the shipped schema in it. For
// PostgreSQL the database is a schema of this process on the fixture's server.
void CreateDatabase(const Backend& backend);
// Lets Keys hold key texts longer than the schema's 32 digits, as a foreign schema might.
void WidenKeyColumns(const Backend& backend);

// The statements of a schema file, comments dropped, split at semicolons.
std::vector<std::string> SchemaStatements(const std::string& path);

// Direct SQL on a data source; failures throw std::runtime_error with the diagnostics.
class RawConnection {
 public:
  explicit RawConnection(const std::wstring& dataSource, const std::wstring& user = L"",
                         const std::wstring& password = L"");
  explicit RawConnection(const Backend& backend);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  void Exec(const std::string& sql);
  bool TryExec(const std::string& sql);
  // Every row as texts; NULL reads as "<NULL>".
  std::vector<std::vector<std::string>> Rows(const std::string& sql);
  std::string Value(const std::string& sql);

 private:
  void* environment_ = nullptr;
  void* connection_ = nullptr;
};

}  // namespace keydb_test
