#include "keyset_datasource.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <deque>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "keyset_time.h"
#include "unicode.h"
#include "message_box.h"
#include "unicode.h"

static_assert(std::is_same_v<SQLHANDLE, OdbcHandle>);
static_assert(sizeof(SQLWCHAR) == 2, "the driver manager's wide text is UTF-16");

namespace {

using SqlText = std::basic_string<SQLWCHAR>;

constexpr size_t kKeyDigits = 32;
constexpr size_t kQuarelDigits = 16;
constexpr size_t kBslDigits = 64;
constexpr size_t kDesignatorChars = 31;
constexpr size_t kNameChars = 127;
constexpr size_t kTimeChars = 19;  // yyyy-mm-dd hh:mm:ss

// wchar_t is UTF-32 here, SQLWCHAR UTF-16: characters past the BMP take two units.
SqlText ToSql(std::wstring_view text) {
  std::u16string units = platform::WideToUtf16(text);
  return SqlText(units.begin(), units.end());
}

std::wstring FromSql(const SQLWCHAR* text, size_t length) {
  return platform::Utf16ToWide(std::u16string(text, text + length));
}

size_t SqlLength(const SQLWCHAR* text, size_t capacity) {
  size_t n = 0;
  while (n < capacity && text[n]) ++n;
  return n;
}

// A wide-text result column with its length/NULL indicator.
struct TextColumn {
  explicit TextColumn(size_t chars) : buffer(chars + 1) {}

  SQLRETURN Bind(SQLHSTMT statement, SQLUSMALLINT column) {
    return SQLBindCol(statement, column, SQL_C_WCHAR, buffer.data(),
                      static_cast<SQLLEN>(buffer.size() * sizeof(SQLWCHAR)), &indicator);
  }
  bool IsNull() const { return indicator == SQL_NULL_DATA; }
  // What the buffer holds; NULL is the empty text, whatever a previous row left behind.
  std::wstring Value() const {
    return IsNull() ? std::wstring() : FromSql(buffer.data(), SqlLength(buffer.data(), buffer.size()));
  }
  // The stored value's length in UTF-16 units, also when the buffer holds only part of it.
  bool HasLength(size_t chars) const {
    return indicator >= 0 && static_cast<size_t>(indicator) == chars * sizeof(SQLWCHAR);
  }

  std::vector<SQLWCHAR> buffer;
  SQLLEN indicator = SQL_NULL_DATA;
};

struct IntegerColumn {
  SQLRETURN Bind(SQLHSTMT statement, SQLUSMALLINT column) {
    return SQLBindCol(statement, column, SQL_C_SBIGINT, &value, 0, &indicator);
  }
  bool IsNull() const { return indicator == SQL_NULL_DATA; }
  // Unsigned 32-bit numbers are stored as BIGINT; a signed 32-bit column of an older
  // schema gives the same bits back.
  uint32_t Unsigned() const { return static_cast<uint32_t>(value); }
  int Signed() const { return static_cast<int>(value); }

  SQLBIGINT value = 0;
  SQLLEN indicator = SQL_NULL_DATA;
};

struct TimestampColumn {
  SQLRETURN Bind(SQLHSTMT statement, SQLUSMALLINT column) {
    return SQLBindCol(statement, column, SQL_C_TYPE_TIMESTAMP, &value, sizeof value, &indicator);
  }
  // The fraction is dropped: key-set times are whole seconds.
  bool ToMillenium(uint32_t& seconds) const {
    if (indicator == SQL_NULL_DATA) return false;
    const platform::SYSTEMTIME time{static_cast<uint16_t>(value.year),
                                    value.month,
                                    0,
                                    value.day,
                                    value.hour,
                                    value.minute,
                                    value.second,
                                    0};
    return SystemTimeToMilleniumTime(seconds, time);
  }

  SQL_TIMESTAMP_STRUCT value{};
  SQLLEN indicator = SQL_NULL_DATA;
};

// A statement handle, freed on every path, with the values of its bound parameters.
class Statement {
 public:
  explicit Statement(SQLHDBC connection) {
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, connection, &handle_))) handle_ = SQL_NULL_HSTMT;
  }
  ~Statement() {
    if (handle_ != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, handle_);
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  explicit operator bool() const { return handle_ != SQL_NULL_HSTMT; }
  SQLHSTMT get() const { return handle_; }

  // Each Bind adds the next parameter; the values stay here until ResetParameters.
  SQLRETURN BindUnsigned(uint32_t value) {
    bigints_.push_back(value);
    return Bind(SQL_C_SBIGINT, SQL_BIGINT, 0, &bigints_.back(), 0);
  }
  SQLRETURN BindInteger(int value) {
    integers_.push_back(value);
    return Bind(SQL_C_SLONG, SQL_INTEGER, 0, &integers_.back(), 0);
  }
  SQLRETURN BindText(std::wstring_view value) {
    texts_.push_back(ToSql(value));
    const SqlText& text = texts_.back();
    return Bind(SQL_C_WCHAR, SQL_WVARCHAR, std::max<size_t>(text.size(), 1),
                const_cast<SQLWCHAR*>(text.c_str()), static_cast<SQLLEN>(text.size() * sizeof(SQLWCHAR)));
  }
  // A key-set time as the text "yyyy-mm-dd hh:mm:ss" of a timestamp parameter: both
  // drivers then compare it with the stored time to the second.
  SQLRETURN BindTime(uint32_t seconds) {
    wchar_t text[kTimeChars + 1];
    FormatMilleniumTime(text, std::size(text), seconds);
    texts_.push_back(ToSql(text));
    const SqlText& value = texts_.back();
    return Bind(SQL_C_WCHAR, SQL_TYPE_TIMESTAMP, kTimeChars, const_cast<SQLWCHAR*>(value.c_str()),
                static_cast<SQLLEN>(value.size() * sizeof(SQLWCHAR)));
  }
  void ResetParameters() {
    SQLFreeStmt(handle_, SQL_RESET_PARAMS);
    lengths_.clear();
    bigints_.clear();
    integers_.clear();
    texts_.clear();
  }

  SQLRETURN ExecDirect(const std::wstring& sql) {
    SqlText text = ToSql(sql);
    return SQLExecDirectW(handle_, text.data(), SQL_NTS);
  }
  SQLRETURN Prepare(const std::wstring& sql) {
    SqlText text = ToSql(sql);
    return SQLPrepareW(handle_, text.data(), SQL_NTS);
  }
  SQLRETURN Execute() { return SQLExecute(handle_); }
  SQLRETURN Fetch() { return SQLFetch(handle_); }
  void CloseCursor() { SQLFreeStmt(handle_, SQL_CLOSE); }
  void Report() const { ReportOdbcError(handle_); }

 private:
  SQLRETURN Bind(SQLSMALLINT cType, SQLSMALLINT sqlType, SQLULEN size, SQLPOINTER value, SQLLEN length) {
    lengths_.push_back(length);
    return SQLBindParameter(handle_, static_cast<SQLUSMALLINT>(lengths_.size()), SQL_PARAM_INPUT, cType,
                            sqlType, size, 0, value, length, &lengths_.back());
  }

  SQLHSTMT handle_ = SQL_NULL_HSTMT;
  // deques: binding keeps pointers into them, which push_back must not move
  std::deque<SQLLEN> lengths_;
  std::deque<SQLBIGINT> bigints_;
  std::deque<SQLINTEGER> integers_;
  std::deque<SqlText> texts_;
};

bool Succeeded(SQLRETURN result) { return SQL_SUCCEEDED(result); }

std::wstring Decimal(int value) { return std::to_wstring(static_cast<unsigned>(value)); }

// SQLSTATE class 23: the statement broke a constraint, here the unique serial number.
bool IsIntegrityViolation(SQLHSTMT statement) {
  SQLWCHAR state[6] = {};
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  return Succeeded(SQLGetDiagRecW(SQL_HANDLE_STMT, statement, 1, state, &native, nullptr, 0, &length)) &&
         state[0] == u'2' && state[1] == u'3';
}

bool DecodeKey(uint8_t* output, const TextColumn& column) {
  return !column.IsNull() && DecodeHex(output, column.Value().c_str(), kKeyDigits / 2);
}

std::wstring Hex(const uint8_t* bytes, size_t count) {
  std::wstring text(2 * count + 1, L'\0');
  EncodeHex(text.data(), bytes, count);
  text.resize(2 * count);
  return text;
}

// Fetches the rows of an executed statement into the callback until the rows end, a
// fetch fails or the callback says stop.
template <typename MakeText>
void DeliverRows(Statement& statement, IntegerColumn& id, CQueryCallback& callback, MakeText makeText) {
  while (Succeeded(statement.Fetch())) {
    if (id.IsNull()) continue;
    const std::wstring text = makeText();
    if (!callback.Invoke(id.Signed(), text.c_str())) break;
  }
}

}  // namespace

void ReportOdbcError(OdbcHandle statement) {
  if (!statement) return;
  for (SQLSMALLINT record = 1;; ++record) {
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLWCHAR message[513] = {};
    SQLSMALLINT length = 0;
    const SQLRETURN result = SQLGetDiagRecW(SQL_HANDLE_STMT, statement, record, state, &native, message,
                                            static_cast<SQLSMALLINT>(std::size(message)), &length);
    if (result != SQL_SUCCESS && result != SQL_SUCCESS_WITH_INFO) break;
    const std::string text = "SQLSTATE: " + platform::WideToUtf8(FromSql(state, SqlLength(state, 5))) +
                             "\nNative error: " + std::to_string(static_cast<long>(native)) +
                             "\nMessage: " + platform::WideToUtf8(FromSql(message, SqlLength(message, 512))) +
                             "\n";
    platform::MessageBox(text, "ODBC Error", platform::MB_OK);
  }
}

CKeysetDatasource::CKeysetDatasource(const wchar_t* dataSource, const wchar_t* user,
                                     const wchar_t* password) {
  if (!dataSource || !*dataSource) throw -1;
  if (!Succeeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &environment_))) {
    environment_ = nullptr;
    throw -1;
  }
  SQLSetEnvAttr(environment_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  if (!Succeeded(SQLAllocHandle(SQL_HANDLE_DBC, environment_, &connection_))) {
    SQLFreeHandle(SQL_HANDLE_ENV, environment_);
    throw -1;
  }
  SqlText dsn = ToSql(dataSource), uid = ToSql(user ? user : L""), pwd = ToSql(password ? password : L"");
  if (!Succeeded(SQLConnectW(connection_, dsn.data(), SQL_NTS, uid.data(), SQL_NTS, pwd.data(), SQL_NTS))) {
    SQLFreeHandle(SQL_HANDLE_DBC, connection_);
    SQLFreeHandle(SQL_HANDLE_ENV, environment_);
    throw -1;
  }
  // Names such as Authorization and Key are reserved words in some dialects, so every
  // name is quoted in the data source's own way.
  SQLWCHAR quote[4] = {};
  SQLSMALLINT length = 0;
  if (Succeeded(SQLGetInfoW(connection_, SQL_IDENTIFIER_QUOTE_CHAR, quote, sizeof quote, &length)))
    quote_ = quote[0] == L' ' ? L'\0' : static_cast<wchar_t>(quote[0]);
}

CKeysetDatasource::~CKeysetDatasource() {
  if (connection_) {
    SQLDisconnect(connection_);
    SQLFreeHandle(SQL_HANDLE_DBC, connection_);
  }
  if (environment_) SQLFreeHandle(SQL_HANDLE_ENV, environment_);
}

namespace {

// The statements are written with standard double-quoted names; this puts the data
// source's quote in their place.
std::wstring Quoted(const wchar_t* sql, wchar_t quote) {
  std::wstring out;
  for (const wchar_t* p = sql; *p; ++p) {
    if (*p != L'"')
      out += *p;
    else if (quote)
      out += quote;
  }
  return out;
}

}  // namespace

bool CKeysetDatasource::StoreKeyset(uint32_t keysetNumber, uint32_t keysetTime, const uint8_t* authentication,
                                    const uint8_t* authorization, const uint8_t* identification,
                                    const uint8_t* encryption, const uint8_t* quarel) {
  Statement statement(connection_);
  if (!statement) return false;
  const std::wstring findSeal = Quoted(LR"(SELECT "SealID" FROM "Seals" WHERE "SerialNumber" = ?)", quote_);
  IntegerColumn sealId;
  const auto failed = [&](SQLRETURN result) {
    if (result == SQL_SUCCESS) return false;
    statement.Report();
    return true;
  };
  if (failed(statement.BindUnsigned(keysetNumber >> 8)) || failed(statement.ExecDirect(findSeal)) ||
      failed(sealId.Bind(statement.get(), 1)))
    return false;
  SQLRETURN result = statement.Fetch();
  if (result == SQL_NO_DATA) {
    statement.CloseCursor();
    Statement insert(connection_);
    if (!insert) return false;
    const auto insertFailed = [&](SQLRETURN r) {
      if (r == SQL_SUCCESS) return false;
      insert.Report();
      return true;
    };
    if (insertFailed(insert.BindUnsigned(keysetNumber >> 8))) return false;
    const SQLRETURN inserted =
        insert.ExecDirect(Quoted(LR"(INSERT INTO "Seals" ("SerialNumber") VALUES (?))", quote_));
    // Another service on a shared server may have inserted the seal since our look-up:
    // the unique serial number refuses ours, and its row is as good.
    const bool lostRace = inserted == SQL_ERROR && IsIntegrityViolation(insert.get());
    if (!lostRace && insertFailed(inserted)) return false;
    if (failed(statement.ExecDirect(findSeal))) return false;
    result = statement.Fetch();
    if (lostRace && result == SQL_NO_DATA) {
      insert.Report();
      return false;
    }
  }
  if (failed(result)) return false;
  if (sealId.IsNull()) return false;
  statement.CloseCursor();
  statement.ResetParameters();

  if (!Succeeded(statement.BindInteger(sealId.Signed())) ||
      !Succeeded(statement.BindUnsigned(keysetNumber)) || !Succeeded(statement.BindTime(keysetTime)) ||
      !Succeeded(statement.BindText(Hex(authentication, 16))) ||
      !Succeeded(statement.BindText(Hex(authorization, 16))) ||
      !Succeeded(statement.BindText(Hex(identification, 16))) ||
      !Succeeded(statement.BindText(Hex(encryption, 16))) ||
      !Succeeded(statement.BindText(Hex(quarel, kQuarelDigits / 2))) ||
      statement.ExecDirect(
          Quoted(LR"(INSERT INTO "Keys" ("SealID", "KeysetNumber", "KeysetTime", "Authentication", )"
                 LR"("Authorization", "Identification", "Encryption", "Quarel") )"
                 LR"(VALUES (?, ?, ?, ?, ?, ?, ?, ?))",
                 quote_)) == SQL_ERROR) {
    statement.Report();
    return false;
  }
  return true;
}

bool CKeysetDatasource::LoadKeyset(uint32_t keysetNumber, uint32_t keysetTime, uint8_t* authentication,
                                   uint8_t* authorization, uint8_t* identification, uint8_t* encryption) {
  Statement statement(connection_);
  if (!statement) return false;
  if (!Succeeded(statement.BindUnsigned(keysetNumber)) || !Succeeded(statement.BindTime(keysetTime)) ||
      statement.ExecDirect(
          Quoted(LR"(SELECT "Authentication", "Authorization", "Identification", "Encryption" )"
                 LR"(FROM "Keys" WHERE "KeysetNumber" = ? AND "KeysetTime" = ?)",
                 quote_)) == SQL_ERROR) {
    statement.Report();
    return false;
  }
  TextColumn keys[4] = {TextColumn(kKeyDigits), TextColumn(kKeyDigits), TextColumn(kKeyDigits),
                        TextColumn(kKeyDigits)};
  for (SQLUSMALLINT i = 0; i < 4; ++i) keys[i].Bind(statement.get(), i + 1);
  const SQLRETURN result = statement.Fetch();
  if (result == SQL_ERROR || result == SQL_NO_DATA) return false;
  // A longer text loads by its first 32 digits.
  return DecodeKey(authentication, keys[0]) && DecodeKey(authorization, keys[1]) &&
         DecodeKey(identification, keys[2]) && DecodeKey(encryption, keys[3]);
}

bool CKeysetDatasource::LoadKeysetById(int keyId, uint32_t& keysetNumber, uint32_t& keysetTime,
                                       uint8_t* authentication, uint8_t* authorization,
                                       uint8_t* identification, uint8_t* encryption) {
  Statement statement(connection_);
  if (!statement) return false;
  IntegerColumn number;
  TimestampColumn time;
  TextColumn keys[4] = {TextColumn(kKeyDigits), TextColumn(kKeyDigits), TextColumn(kKeyDigits),
                        TextColumn(kKeyDigits)};
  SQLRETURN result = statement.BindInteger(keyId);
  if (result == SQL_SUCCESS)
    result = statement.ExecDirect(Quoted(
        LR"(SELECT "KeysetNumber", "KeysetTime", "Authentication", "Authorization", "Identification", )"
        LR"("Encryption" FROM "Keys" WHERE "KeyID" = ?)",
        quote_));
  if (result == SQL_SUCCESS) result = number.Bind(statement.get(), 1);
  if (result == SQL_SUCCESS) result = time.Bind(statement.get(), 2);
  for (SQLUSMALLINT i = 0; i < 4 && result == SQL_SUCCESS; ++i) result = keys[i].Bind(statement.get(), i + 3);
  // Here a cut value fails too: a key-set for a token must be exactly what was stored.
  if (result == SQL_SUCCESS) result = statement.Fetch();
  if (result != SQL_SUCCESS) {
    statement.Report();
    return false;
  }
  if (number.IsNull() || !time.ToMillenium(keysetTime)) return false;
  keysetNumber = number.Unsigned();
  return DecodeKey(authentication, keys[0]) && DecodeKey(authorization, keys[1]) &&
         DecodeKey(identification, keys[2]) && DecodeKey(encryption, keys[3]);
}

bool CKeysetDatasource::QueryDivisions(CQueryCallback& callback) {
  Statement statement(connection_);
  if (!statement) return false;
  if (statement.ExecDirect(Quoted(LR"(SELECT "OpDivID", "DivisionName" FROM "OpDivs")", quote_)) ==
      SQL_ERROR) {
    statement.Report();
    return false;
  }
  IntegerColumn id;
  TextColumn name(kNameChars);
  id.Bind(statement.get(), 1);
  name.Bind(statement.get(), 2);
  DeliverRows(statement, id, callback, [&] { return name.Value(); });
  return true;
}

bool CKeysetDatasource::QueryFacilities(CQueryCallback& callback, int opDivId) {
  Statement statement(connection_);
  if (!statement) return false;
  if (!Succeeded(statement.BindInteger(opDivId)) ||
      statement.ExecDirect(
          Quoted(LR"(SELECT "Facilities"."FacilityID", "Facilities"."FacilityDesignator", )"
                 LR"("Facilities"."FacilityName" FROM "Facilities" INNER JOIN "SealRequests" )"
                 LR"(ON "Facilities"."FacilityID" = "SealRequests"."FacilityID" )"
                 LR"(WHERE "SealRequests"."OpDivID" = ?)",
                 quote_)) == SQL_ERROR) {
    statement.Report();
    return false;
  }
  IntegerColumn id;
  TextColumn designator(kDesignatorChars), name(kNameChars);
  id.Bind(statement.get(), 1);
  designator.Bind(statement.get(), 2);
  name.Bind(statement.get(), 3);
  DeliverRows(statement, id, callback, [&] { return designator.Value() + L" (" + name.Value() + L")"; });
  return true;
}

bool CKeysetDatasource::QueryRequestedSeals(CQueryCallback& callback, int opDivId, int facilityId,
                                            bool byDivision) {
  Statement statement(connection_);
  if (!statement) return false;
  // The latest request of each seal (greatest ReqDateTime), filtered by its division or
  // facility; the filter column is one of two fixed names, the value a parameter.
  std::wstring sql = Quoted(
      LR"(SELECT "SealRequests"."SealID" FROM "SealRequests" INNER JOIN )"
      LR"((SELECT "SealRequests"."SealID", Max("SealRequests"."ReqDateTime") AS "LastRequest" )"
      LR"(FROM "SealRequests" GROUP BY "SealRequests"."SealID") AS "SubQuery" )"
      LR"(ON ("SealRequests"."ReqDateTime" = "SubQuery"."LastRequest") )"
      LR"(AND ("SealRequests"."SealID" = "SubQuery"."SealID") )"
      LR"(WHERE "SealRequests".)",
      quote_);
  sql += Quoted(byDivision ? LR"("OpDivID" = ?)" : LR"("FacilityID" = ?)", quote_);
  if (!Succeeded(statement.BindInteger(byDivision ? opDivId : facilityId)) ||
      statement.ExecDirect(sql) == SQL_ERROR) {
    statement.Report();
    return false;
  }
  IntegerColumn id;
  id.Bind(statement.get(), 1);
  DeliverRows(statement, id, callback, [&] { return Decimal(id.Signed()); });
  return true;
}

bool CKeysetDatasource::QuerySeals(CQueryCallback& callback) {
  Statement statement(connection_);
  if (!statement) return false;
  if (statement.ExecDirect(Quoted(LR"(SELECT "SealID" FROM "Seals")", quote_)) == SQL_ERROR) {
    statement.Report();
    return false;
  }
  IntegerColumn id;
  id.Bind(statement.get(), 1);
  DeliverRows(statement, id, callback, [&] { return Decimal(id.Signed()); });
  return true;
}

bool CKeysetDatasource::QueryKeysets(CQueryCallback& callback, const int* sealIds, int count,
                                     bool newestOnly) {
  if (count <= 0 || !sealIds) return false;
  Statement statement(connection_);
  if (!statement) return false;
  IntegerColumn keyId, number;
  TimestampColumn time;
  // One statement, prepared once and executed per seal with the parameter's new value.
  SQLINTEGER sealId = 0;
  SQLLEN sealIdLength = 0;
  if (statement.Prepare(Quoted(LR"(SELECT "KeyID", "KeysetNumber", "KeysetTime" FROM "Keys" )"
                               LR"(WHERE "SealID" = ? ORDER BY "KeysetTime" DESC)",
                               quote_)) == SQL_ERROR ||
      SQLBindParameter(statement.get(), 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &sealId, 0,
                       &sealIdLength) == SQL_ERROR ||
      keyId.Bind(statement.get(), 1) == SQL_ERROR || number.Bind(statement.get(), 2) == SQL_ERROR ||
      time.Bind(statement.get(), 3) == SQL_ERROR) {
    statement.Report();
    return false;
  }
  for (int i = 0; i < count; ++i) {
    sealId = sealIds[i];
    if (statement.Execute() == SQL_ERROR) {
      statement.Report();
      return false;
    }
    while (Succeeded(statement.Fetch())) {
      uint32_t seconds;
      // A row that cannot be converted ends the seal's rows: with newest only, the next
      // row would be taken for the newest.
      wchar_t name[KeysetNameSize];
      if (keyId.IsNull() || number.IsNull() || !time.ToMillenium(seconds) ||
          !FormatKeysetName(name, std::size(name), number.Unsigned(), seconds))
        break;
      if (!callback.Invoke(keyId.Signed(), name) || newestOnly) break;
    }
    statement.CloseCursor();
  }
  return true;
}

bool CKeysetDatasource::GetSerialNumber(uint32_t& serialNumber, int sealId) {
  Statement statement(connection_);
  if (!statement) return false;
  IntegerColumn serial;
  if (statement.BindInteger(sealId) != SQL_SUCCESS ||
      statement.ExecDirect(Quoted(LR"(SELECT "SerialNumber" FROM "Seals" WHERE "SealID" = ?)", quote_)) !=
          SQL_SUCCESS ||
      serial.Bind(statement.get(), 1) != SQL_SUCCESS || statement.Fetch() != SQL_SUCCESS || serial.IsNull())
    return false;
  serialNumber = serial.Unsigned();
  return true;
}

bool CKeysetDatasource::InsertToken(uint32_t serialNumber) {
  Statement statement(connection_);
  if (!statement) return false;
  // SerialNumber is unique: a token that has its row keeps it, and callers that insert
  // after a failed load go on with that row.
  if (!Succeeded(statement.BindUnsigned(serialNumber)) || !Succeeded(statement.BindUnsigned(serialNumber)) ||
      statement.ExecDirect(Quoted(LR"(INSERT INTO "Tokens" ("SerialNumber") SELECT ? WHERE NOT EXISTS )"
                                  LR"((SELECT 1 FROM "Tokens" WHERE "SerialNumber" = ?))",
                                  quote_)) == SQL_ERROR) {
    statement.Report();
    return false;
  }
  return true;
}

bool CKeysetDatasource::LoadToken(uint32_t serialNumber, wchar_t* passphrase, size_t passphraseBytes,
                                  uint8_t* bsl, uint8_t* key, uint8_t* mac) {
  const size_t passphraseChars = passphraseBytes / sizeof(wchar_t);
  if (!passphrase || passphraseChars == 0) return false;
  Statement statement(connection_);
  if (!statement) return false;
  if (!Succeeded(statement.BindUnsigned(serialNumber)) ||
      statement.ExecDirect(Quoted(
          LR"(SELECT "Passphrase", "BSL", "Key", "MAC" FROM "Tokens" WHERE "SerialNumber" = ?)", quote_)) ==
          SQL_ERROR) {
    statement.Report();
    return false;
  }
  // Room for every character as a surrogate pair; the cut to the caller's size comes after.
  TextColumn phrase(2 * (passphraseChars - 1)), bslText(kBslDigits), keyText(kKeyDigits), macText(kKeyDigits);
  phrase.Bind(statement.get(), 1);
  bslText.Bind(statement.get(), 2);
  keyText.Bind(statement.get(), 3);
  macText.Bind(statement.get(), 4);
  const SQLRETURN result = statement.Fetch();
  if (result == SQL_ERROR || result == SQL_NO_DATA) return false;

  std::wstring text = phrase.Value();
  text.resize(std::min(text.size(), passphraseChars - 1));
  std::copy(text.begin(), text.end(), passphrase);
  passphrase[text.size()] = L'\0';

  if (bslText.IsNull() || !DecodeHex(bsl, bslText.Value().c_str(), kBslDigits / 2)) return false;
  std::fill_n(key, kKeyDigits / 2, 0);
  std::fill_n(mac, kKeyDigits / 2, 0);
  if (keyText.HasLength(kKeyDigits) && !DecodeHex(key, keyText.Value().c_str(), kKeyDigits / 2)) return false;
  if (macText.HasLength(kKeyDigits) && !DecodeHex(mac, macText.Value().c_str(), kKeyDigits / 2)) return false;
  return true;
}

bool CKeysetDatasource::UpdatePassphrase(uint32_t serialNumber, const wchar_t* passphrase) {
  Statement statement(connection_);
  if (!statement) return false;
  if (!Succeeded(statement.BindText(passphrase ? passphrase : L"")) ||
      !Succeeded(statement.BindUnsigned(serialNumber)) ||
      statement.ExecDirect(
          Quoted(LR"(UPDATE "Tokens" SET "Passphrase" = ? WHERE "SerialNumber" = ?)", quote_)) == SQL_ERROR) {
    statement.Report();
    return false;
  }
  return true;
}

bool CKeysetDatasource::UpdateBsl(uint32_t serialNumber, const uint8_t* bsl) {
  Statement statement(connection_);
  if (!statement) return false;
  if (!Succeeded(statement.BindText(Hex(bsl, kBslDigits / 2))) ||
      !Succeeded(statement.BindUnsigned(serialNumber)) ||
      statement.ExecDirect(Quoted(LR"(UPDATE "Tokens" SET "BSL" = ? WHERE "SerialNumber" = ?)", quote_)) ==
          SQL_ERROR) {
    statement.Report();
    return false;
  }
  return true;
}

bool CKeysetDatasource::UpdateFirmwareKey(uint32_t serialNumber, const uint8_t* key, const uint8_t* mac) {
  Statement statement(connection_);
  if (!statement) return false;
  if (!Succeeded(statement.BindText(Hex(key, kKeyDigits / 2))) ||
      !Succeeded(statement.BindText(Hex(mac, kKeyDigits / 2))) ||
      !Succeeded(statement.BindUnsigned(serialNumber)) ||
      statement.ExecDirect(Quoted(LR"(UPDATE "Tokens" SET "Key" = ?, "MAC" = ? WHERE "SerialNumber" = ?)",
                                  quote_)) == SQL_ERROR) {
    statement.Report();
    return false;
  }
  return true;
}
