#include "keydb_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sql.h>
#include <sqlext.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "unicode.h"

namespace fs = std::filesystem;

namespace keydb_test {

namespace {

using SqlText = std::basic_string<SQLWCHAR>;

SqlText ToSql(const std::string& utf8) {
  std::u16string units = platform::Utf8ToUtf16(utf8);
  return SqlText(units.begin(), units.end());
}

SqlText ToSql(const std::wstring& text) { return ToSql(platform::WideToUtf8(text)); }

std::string FromSql(const SQLWCHAR* text, size_t length) {
  return platform::Utf16ToUtf8(std::u16string(text, text + length));
}

std::string Diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
  std::string out;
  SQLWCHAR state[6], message[1024];
  SQLINTEGER native;
  SQLSMALLINT length;
  for (SQLSMALLINT i = 1;
       SQL_SUCCEEDED(SQLGetDiagRecW(type, handle, i, state, &native, message, 1024, &length)); ++i)
    out += FromSql(state, 5) + " " + FromSql(message, std::min<size_t>(length, 1023)) + "\n";
  return out;
}

// Each PostgreSQL test database is a schema of its own, so that parallel test processes
// share the one server without meeting.
std::string PgSchema() { return "t_" + std::to_string(::getpid()); }

std::map<std::string, std::string> PgState() {
  const char* path = std::getenv("ZARN_TEST_PG_STATE");
  if (!path)
    throw std::runtime_error("ZARN_TEST_PG_STATE is not set: run the PostgreSQL tests through ctest");
  std::ifstream in(path);
  if (!in) throw std::runtime_error(std::string("no PostgreSQL test server: ") + path + " is missing");
  std::map<std::string, std::string> state;
  for (std::string line; std::getline(in, line);) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) state[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return state;
}

std::string FindDriver(const std::string& file) {
  std::vector<fs::path> candidates;
  for (const char* dir : {"/usr/lib/x86_64-linux-gnu/odbc", "/usr/lib/aarch64-linux-gnu/odbc", "/usr/lib64",
                          "/usr/lib/odbc", "/usr/lib", "/usr/local/lib"})
    candidates.push_back(fs::path(dir) / file);
  // Else whatever the system's driver list names by that file.
  std::ifstream system("/etc/odbcinst.ini");
  for (std::string line; std::getline(system, line);) {
    if (line.rfind("Driver=", 0) == 0 && line.find(file) != std::string::npos)
      candidates.push_back(line.substr(7));
  }
  for (const auto& path : candidates) {
    std::error_code error;
    if (path.is_absolute() && fs::exists(path, error)) return path.string();
  }
  return file;
}

// A loopback port that refuses connections for the life of the process: bound by us and
// never listened on.
int ClosedPort() {
  static const int port = [] {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
      throw std::runtime_error("cannot reserve a loopback port");
    return int(ntohs(address.sin_port));
  }();
  return port;
}

std::string& SandboxDir() {
  static std::string dir;
  return dir;
}

constexpr const char* kSqliteSource = "ZarnKeysTestSqlite";
constexpr const char* kPgSource = "ZarnKeysTestPg";
constexpr const char* kPgAdminSource = "ZarnKeysTestPgAdmin";

}  // namespace

void OdbcSandbox::SetUp() {
  char pattern[] = "/tmp/zarn-keydb.XXXXXX";
  if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  SandboxDir() = pattern;
  const fs::path dir = pattern;
  {
    std::ofstream drivers(dir / "odbcinst.ini");
    drivers << "[ZarnSQLite3]\nDriver=" << FindDriver("libsqlite3odbc.so") << "\n\n"
            << "[ZarnPostgreSQL]\nDriver=" << FindDriver("psqlodbcw.so") << "\n";
  }
  std::ofstream sources(dir / "odbc.ini");
  sources << "[" << kSqliteSource << "]\nDriver=ZarnSQLite3\nDatabase=" << (dir / "keys.db").string()
          << "\nTimeout=5000\n\n"
          << "[ZarnKeysTestSqliteMissing]\nDriver=ZarnSQLite3\nDatabase="
          << (dir / "none" / "keys.db").string() << "\nNoCreat=1\n\n";
  if (const char* state = std::getenv("ZARN_TEST_PG_STATE"); state && fs::exists(state)) {
    auto pg = PgState();
    const std::string server =
        "Driver=ZarnPostgreSQL\nServername=127.0.0.1\nPort=" + pg["ZARN_TEST_PG_PORT"] +
        "\nDatabase=" + pg["ZARN_TEST_PG_DATABASE"] + "\n";
    sources << "[" << kPgSource << "]\n"
            << server << "ConnSettings=SET search_path TO \"" << PgSchema() << "\"\n\n"
            << "[" << kPgAdminSource << "]\n"
            << server << "\n";
    const int down = ClosedPort();
    sources << "[ZarnKeysTestPgDown]\nDriver=ZarnPostgreSQL\nServername=127.0.0.1\nPort=" << down
            << "\nDatabase=" << pg["ZARN_TEST_PG_DATABASE"] << "\n\n";
  }
  sources.close();
  ::setenv("ODBCSYSINI", dir.c_str(), 1);
  ::setenv("ODBCINSTINI", "odbcinst.ini", 1);
  ::setenv("ODBCINI", (dir / "odbc.ini").c_str(), 1);
}

void OdbcSandbox::TearDown() {
  std::error_code error;
  if (!SandboxDir().empty()) fs::remove_all(SandboxDir(), error);
}

const std::string& OdbcSandbox::Dir() { return SandboxDir(); }

std::wstring DataSource(const Backend& backend) {
  return platform::Utf8ToWide(backend.postgresql ? kPgSource : kSqliteSource);
}

std::wstring User(const Backend& backend) {
  return backend.postgresql ? platform::Utf8ToWide(PgState()["ZARN_TEST_PG_USER"]) : L"";
}

std::wstring Password(const Backend& backend) {
  return backend.postgresql ? platform::Utf8ToWide(PgState()["ZARN_TEST_PG_PASSWORD"]) : L"";
}

std::vector<Unreachable> UnreachableSources(const Backend& backend) {
  std::vector<Unreachable> out = {
      {"no data source name", L"", L"", L""},
      {"a data source nobody defined", L"ZarnKeysNoSuchSource", L"", L""},
  };
  if (backend.postgresql) {
    out.push_back({"the server down", L"ZarnKeysTestPgDown", User(backend), Password(backend)});
    out.push_back({"a wrong password", DataSource(backend), User(backend), L"wrong"});
  } else {
    out.push_back({"a database file that is not there", L"ZarnKeysTestSqliteMissing", L"", L""});
  }
  return out;
}

std::vector<std::string> SchemaStatements(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::string text;
  for (std::string line; std::getline(in, line);) {
    const auto comment = line.find("--");
    text += line.substr(0, comment) + "\n";
  }
  std::vector<std::string> statements;
  std::stringstream parts(text);
  for (std::string part; std::getline(parts, part, ';');) {
    if (part.find_first_not_of(" \t\n") != std::string::npos) statements.push_back(part);
  }
  return statements;
}

void CreateDatabase(const Backend& backend) {
  std::string schema = KEYDB_SCHEMA_DIR;
  if (backend.postgresql) {
    const auto pg = PgState();
    RawConnection admin(platform::Utf8ToWide(kPgAdminSource), User(backend), Password(backend));
    admin.Exec("DROP SCHEMA IF EXISTS \"" + PgSchema() + "\" CASCADE");
    admin.Exec("CREATE SCHEMA \"" + PgSchema() + "\"");
    schema += "/schema-postgresql.sql";
  } else {
    std::error_code error;
    fs::remove(fs::path(OdbcSandbox::Dir()) / "keys.db", error);
    schema += "/schema-sqlite.sql";
  }
  RawConnection db(backend);
  for (const auto& statement : SchemaStatements(schema)) db.Exec(statement);
}

void WidenKeyColumns(const Backend& backend) {
  if (!backend.postgresql) return;  // SQLite keeps texts of any length
  RawConnection db(backend);
  for (const char* column : {"Authentication", "Authorization", "Identification", "Encryption"})
    db.Exec(std::string("ALTER TABLE \"Keys\" ALTER COLUMN \"") + column + "\" TYPE VARCHAR(64)");
}

RawConnection::RawConnection(const std::wstring& dataSource, const std::wstring& user,
                             const std::wstring& password) {
  SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &environment_);
  SQLSetEnvAttr(environment_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLAllocHandle(SQL_HANDLE_DBC, environment_, &connection_);
  SqlText dsn = ToSql(dataSource), uid = ToSql(user), pwd = ToSql(password);
  if (!SQL_SUCCEEDED(
          SQLConnectW(connection_, dsn.data(), SQL_NTS, uid.data(), SQL_NTS, pwd.data(), SQL_NTS))) {
    const std::string diagnostics = Diagnostics(SQL_HANDLE_DBC, connection_);
    SQLFreeHandle(SQL_HANDLE_DBC, connection_);
    SQLFreeHandle(SQL_HANDLE_ENV, environment_);
    throw std::runtime_error("cannot connect to " + platform::WideToUtf8(dataSource) + ": " + diagnostics);
  }
}

RawConnection::RawConnection(const Backend& backend)
    : RawConnection(DataSource(backend), User(backend), Password(backend)) {}

RawConnection::~RawConnection() {
  SQLDisconnect(connection_);
  SQLFreeHandle(SQL_HANDLE_DBC, connection_);
  SQLFreeHandle(SQL_HANDLE_ENV, environment_);
}

bool RawConnection::TryExec(const std::string& sql) {
  SQLHSTMT statement;
  SQLAllocHandle(SQL_HANDLE_STMT, connection_, &statement);
  SqlText text = ToSql(sql);
  const SQLRETURN result = SQLExecDirectW(statement, text.data(), SQL_NTS);
  SQLFreeHandle(SQL_HANDLE_STMT, statement);
  return SQL_SUCCEEDED(result) || result == SQL_NO_DATA;
}

void RawConnection::Exec(const std::string& sql) {
  SQLHSTMT statement;
  SQLAllocHandle(SQL_HANDLE_STMT, connection_, &statement);
  SqlText text = ToSql(sql);
  const SQLRETURN result = SQLExecDirectW(statement, text.data(), SQL_NTS);
  const std::string diagnostics = Diagnostics(SQL_HANDLE_STMT, statement);
  SQLFreeHandle(SQL_HANDLE_STMT, statement);
  if (!SQL_SUCCEEDED(result) && result != SQL_NO_DATA) throw std::runtime_error(sql + ": " + diagnostics);
}

std::vector<std::vector<std::string>> RawConnection::Rows(const std::string& sql) {
  SQLHSTMT statement;
  SQLAllocHandle(SQL_HANDLE_STMT, connection_, &statement);
  SqlText text = ToSql(sql);
  if (!SQL_SUCCEEDED(SQLExecDirectW(statement, text.data(), SQL_NTS))) {
    const std::string diagnostics = Diagnostics(SQL_HANDLE_STMT, statement);
    SQLFreeHandle(SQL_HANDLE_STMT, statement);
    throw std::runtime_error(sql + ": " + diagnostics);
  }
  SQLSMALLINT columns = 0;
  SQLNumResultCols(statement, &columns);
  std::vector<std::vector<std::string>> rows;
  while (SQL_SUCCEEDED(SQLFetch(statement))) {
    auto& row = rows.emplace_back();
    for (SQLUSMALLINT c = 1; c <= columns; ++c) {
      SQLWCHAR buffer[1024];
      SQLLEN indicator = 0;
      SQLGetData(statement, c, SQL_C_WCHAR, buffer, sizeof buffer, &indicator);
      row.push_back(indicator == SQL_NULL_DATA ? "<NULL>"
                                               : FromSql(buffer, size_t(indicator) / sizeof(SQLWCHAR)));
    }
  }
  SQLFreeHandle(SQL_HANDLE_STMT, statement);
  return rows;
}

std::string RawConnection::Value(const std::string& sql) {
  const auto rows = Rows(sql);
  if (rows.empty() || rows[0].empty()) throw std::runtime_error(sql + ": no rows");
  return rows[0][0];
}

}  // namespace keydb_test
