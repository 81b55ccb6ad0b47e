#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "keydb_test_support.h"
#include "keyset_datasource.h"
#include "keyset_time.h"
#include "message_box.h"
#include "unicode.h"

using namespace keydb_test;

namespace {

using Key = std::array<uint8_t, 16>;
using Rows = std::vector<std::pair<int, std::wstring>>;

Key MakeKey(uint8_t seed) {
  Key key;
  for (size_t i = 0; i < key.size(); ++i) key[i] = uint8_t(seed * 16 + i * 17 + 0x0F);
  return key;
}

uint32_t Millenium(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t minute,
                   uint16_t second) {
  uint32_t seconds = 0;
  EXPECT_TRUE(SystemTimeToMilleniumTime(seconds, {year, month, 0, day, hour, minute, second, 0}));
  return seconds;
}

std::string Hex(const uint8_t* bytes, size_t count) {
  std::wstring text(2 * count + 1, L'\0');
  EncodeHex(text.data(), bytes, count);
  return platform::WideToUtf8(text.c_str());
}

std::string Upper(std::string text) {
  for (char& c : text) c = char(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// Collects the rows a query hands out; answers false from row stopAt on.
struct Collector {
  explicit Collector(size_t stopAt = SIZE_MAX) : stopAt(stopAt) {}
  bool OnRow(int id, const wchar_t* text) {
    rows.emplace_back(id, text);
    return rows.size() < stopAt;
  }
  Rows Sorted() const {
    Rows sorted = rows;
    std::sort(sorted.begin(), sorted.end());
    return sorted;
  }
  size_t stopAt;
  Rows rows;
};

// The box text of one diagnostic record, whatever the driver's message says.
const std::regex kBoxText("SQLSTATE: [0-9A-Z]{5}\nNative error: -?[0-9]+\nMessage: [^]+\n");

class KeyDatabaseTest : public testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    ASSERT_NO_THROW(CreateDatabase(GetParam()));
    Connect();
  }

  void Connect() {
    db.reset();
    raw.reset();
    db = std::make_unique<CKeysetDatasource>(DataSource(GetParam()).c_str(), User(GetParam()).c_str(),
                                             Password(GetParam()).c_str());
    raw = std::make_unique<RawConnection>(GetParam());
  }

  bool Store(uint32_t number, uint32_t time, uint8_t seed) {
    const Key a = MakeKey(seed), b = MakeKey(seed + 1), c = MakeKey(seed + 2), d = MakeKey(seed + 3);
    const uint8_t quarel[8] = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07, seed};
    return db->StoreKeyset(number, time, a.data(), b.data(), c.data(), d.data(), quarel);
  }

  // The four keys that Store(seed) wrote, as LoadKeyset hands them back.
  static std::array<Key, 4> Stored(uint8_t seed) {
    return {MakeKey(seed), MakeKey(seed + 1), MakeKey(seed + 2), MakeKey(seed + 3)};
  }

  bool Load(uint32_t number, uint32_t time, std::array<Key, 4>& keys) {
    return db->LoadKeyset(number, time, keys[0].data(), keys[1].data(), keys[2].data(), keys[3].data());
  }

  bool LoadById(int keyId, uint32_t& number, uint32_t& time, std::array<Key, 4>& keys) {
    return db->LoadKeysetById(keyId, number, time, keys[0].data(), keys[1].data(), keys[2].data(),
                              keys[3].data());
  }

  int SealIdOf(uint32_t serial) {
    return std::stoi(
        raw->Value("SELECT \"SealID\" FROM \"Seals\" WHERE \"SerialNumber\" = " + std::to_string(serial)));
  }

  platform::MessageBoxRecorder boxes;
  std::unique_ptr<CKeysetDatasource> db;
  std::unique_ptr<RawConnection> raw;
};

const uint32_t kTime = Millenium(2010, 5, 4, 10, 20, 30);

}  // namespace

TEST_P(KeyDatabaseTest, StoringAddsTheSealRowOnceAndReusesIt) {
  ASSERT_TRUE(Store(0x00123401, kTime, 1));
  ASSERT_TRUE(Store(0x00123402, kTime + 60, 5));
  EXPECT_EQ(raw->Rows("SELECT \"SerialNumber\" FROM \"Seals\""),
            (std::vector<std::vector<std::string>>{{"4660"}}));
  const std::string sealId = std::to_string(SealIdOf(0x1234));
  EXPECT_EQ(raw->Rows("SELECT \"SealID\", \"KeysetNumber\" FROM \"Keys\" ORDER BY \"KeysetNumber\""),
            (std::vector<std::vector<std::string>>{{sealId, "1192961"}, {sealId, "1192962"}}));

  // Upper-case digits, the Quarel key too.
  const Key first = MakeKey(1);
  const uint8_t quarel[8] = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07, 1};
  EXPECT_EQ(raw->Rows("SELECT \"Authentication\", \"Quarel\" FROM \"Keys\" WHERE \"KeysetNumber\" = 1192961"),
            (std::vector<std::vector<std::string>>{{Hex(first.data(), 16), Hex(quarel, 8)}}));

  std::array<Key, 4> keys{};
  ASSERT_TRUE(Load(0x00123402, kTime + 60, keys));
  EXPECT_EQ(keys, Stored(5));
  ASSERT_TRUE(Load(0x00123401, kTime, keys));
  EXPECT_EQ(keys, Stored(1));
  EXPECT_TRUE(boxes.Boxes().empty());
}

// Two services store the first key-sets of one seal at the same moment on a shared
// server: both look the seal up, find none and insert it; the unique serial number
// refuses the later insert, whose service then takes the row the other one made.
TEST_P(KeyDatabaseTest, TwoServicesStoringANewSealAtOnceBothSucceed) {
  if (!GetParam().postgresql) GTEST_SKIP() << "a file database admits one writer at a time";
  // Each insert of a seal takes long enough that both look-ups come before either insert.
  raw->Exec("CREATE FUNCTION \"SlowSeal\"() RETURNS trigger AS $$ BEGIN PERFORM pg_sleep(0.3); RETURN NEW; END $$ "
            "LANGUAGE plpgsql");
  raw->Exec("CREATE TRIGGER \"SlowSeal\" BEFORE INSERT ON \"Seals\" FOR EACH ROW EXECUTE FUNCTION \"SlowSeal\"()");
  CKeysetDatasource other(DataSource(GetParam()).c_str(), User(GetParam()).c_str(), Password(GetParam()).c_str());
  const Key k = MakeKey(1);
  const uint8_t quarel[8] = {};
  bool storedHere = false, storedThere = false;
  std::thread there([&] { storedThere = other.StoreKeyset(0x00777702, kTime + 1, k.data(), k.data(), k.data(), k.data(), quarel); });
  storedHere = Store(0x00777701, kTime, 1);
  there.join();
  EXPECT_TRUE(storedHere);
  EXPECT_TRUE(storedThere);
  EXPECT_EQ(raw->Value("SELECT COUNT(*) FROM \"Seals\""), "1");
  EXPECT_EQ(raw->Value("SELECT COUNT(DISTINCT \"SealID\") FROM \"Keys\""), "1");
  EXPECT_EQ(raw->Value("SELECT COUNT(*) FROM \"Keys\""), "2");
  EXPECT_TRUE(boxes.Boxes().empty());
}

TEST_P(KeyDatabaseTest, TopBitKeysetNumbersRoundTripAndTimesMatchToTheSecond) {
  const uint32_t number = 0xFFFFFF07;
  ASSERT_TRUE(Store(number, kTime, 9));
  EXPECT_EQ(raw->Value("SELECT \"SerialNumber\" FROM \"Seals\""), "16777215");
  EXPECT_EQ(raw->Value("SELECT \"KeysetNumber\" FROM \"Keys\""), "4294967047");

  std::array<Key, 4> keys{};
  EXPECT_TRUE(Load(number, kTime, keys));
  EXPECT_EQ(keys, Stored(9));
  EXPECT_FALSE(Load(number, kTime + 1, keys));
  EXPECT_FALSE(Load(number, kTime - 1, keys));
  EXPECT_FALSE(Load(number - 1, kTime, keys));

  const int keyId = std::stoi(raw->Value("SELECT \"KeyID\" FROM \"Keys\""));
  uint32_t loadedNumber = 0, loadedTime = 0;
  keys = {};
  ASSERT_TRUE(LoadById(keyId, loadedNumber, loadedTime, keys));
  EXPECT_EQ(loadedNumber, number);
  EXPECT_EQ(loadedTime, kTime);
  EXPECT_EQ(keys, Stored(9));

  Collector rows;
  TQueryCallback<Collector> callback(&rows, &Collector::OnRow);
  const int sealId = SealIdOf(0xFFFFFF);
  ASSERT_TRUE(db->QueryKeysets(callback, &sealId, 1, false));
  EXPECT_EQ(rows.rows, (Rows{{keyId, L"16777215-7 2010-05-04 10:20:30"}}));
  EXPECT_TRUE(boxes.Boxes().empty());
}

TEST_P(KeyDatabaseTest, KeyTextsWrittenElsewhereLoadByTheirFirst32Digits) {
  WidenKeyColumns(GetParam());
  raw->Exec("INSERT INTO \"Seals\" (\"SealID\", \"SerialNumber\") VALUES (1, 66)");
  const std::string valid = "00112233445566778899AABBCCDDEEFF";
  struct Case {
    const char* what;
    std::string authentication;
    bool loads, loadsById;
  } cases[] = {
      {"lower case", "0123456789abcdef0123456789abcdef", true, true},
      {"31 digits", valid.substr(0, 31), false, false},
      {"33 digits", valid + "0", true, false},
      {"a colon", "0011:233445566778899AABBCCDDEEFF", false, false},
  };
  uint32_t number = 0x4200;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ++number;
    raw->Exec(
        "INSERT INTO \"Keys\" (\"SealID\", \"KeysetNumber\", \"KeysetTime\", \"Authentication\", "
        "\"Authorization\", \"Identification\", \"Encryption\", \"Quarel\") VALUES (1, " +
        std::to_string(number) + ", '2010-05-04 10:20:30', '" + c.authentication + "', '" + valid + "', '" +
        valid + "', '" + valid + "', '0000000000000000')");
    const int keyId = std::stoi(
        raw->Value("SELECT \"KeyID\" FROM \"Keys\" WHERE \"KeysetNumber\" = " + std::to_string(number)));
    std::array<Key, 4> keys{};
    EXPECT_EQ(Load(number, kTime, keys), c.loads);
    if (c.loads) {
      EXPECT_EQ(Hex(keys[0].data(), 16), Upper(c.authentication.substr(0, 32)));
    }
    uint32_t loadedNumber, loadedTime;
    boxes.Clear();
    EXPECT_EQ(LoadById(keyId, loadedNumber, loadedTime, keys), c.loadsById);
    if (c.authentication.size() > 32) {
      // The cut value is reported as the driver's truncation warning.
      const auto shown = boxes.Boxes();
      ASSERT_FALSE(shown.empty());
      EXPECT_EQ(shown[0].caption, "ODBC Error");
      EXPECT_EQ(shown[0].flags, platform::MB_OK);
      EXPECT_EQ(shown[0].text, GetParam().postgresql
                                   ? "SQLSTATE: 01004\nNative error: -2\nMessage: Fetched item was truncated.\n"
                                   : "SQLSTATE: 01004\nNative error: -1\nMessage: [SQLite]data right truncated\n");
    } else {
      EXPECT_TRUE(boxes.Boxes().empty());
    }
  }
}

TEST_P(KeyDatabaseTest, WhatIsNotThereLoadsNothingAndShowsNothing) {
  std::array<Key, 4> keys{};
  uint32_t number, time, serial;
  EXPECT_FALSE(Load(0x1234, kTime, keys));
  EXPECT_FALSE(LoadById(4711, number, time, keys));
  EXPECT_FALSE(db->GetSerialNumber(serial, 4711));
  EXPECT_TRUE(boxes.Boxes().empty());
}

TEST_P(KeyDatabaseTest, DivisionsFacilitiesAndSealsReachTheCallback) {
  for (const char* sql : {
           "INSERT INTO \"OpDivs\" VALUES (1, 'North')",
           "INSERT INTO \"OpDivs\" VALUES (2, NULL)",
           "INSERT INTO \"OpDivs\" VALUES (3, 'South')",
           "INSERT INTO \"Facilities\" VALUES (10, 'HB', 'Harbour')",
           "INSERT INTO \"Facilities\" VALUES (11, NULL, 'Depot')",
           "INSERT INTO \"Facilities\" VALUES (12, 'X', NULL)",
           "INSERT INTO \"Seals\" (\"SealID\", \"SerialNumber\") VALUES (5, 500)",
           "INSERT INTO \"Seals\" (\"SealID\", \"SerialNumber\") VALUES (6, 4000000000)",
           "INSERT INTO \"SealRequests\" VALUES (5, '2011-01-01 08:00:00', 10, 1)",
           "INSERT INTO \"SealRequests\" VALUES (6, '2011-01-02 08:00:00', 11, 1)",
           "INSERT INTO \"SealRequests\" VALUES (6, '2011-01-03 08:00:00', 12, 3)",
       })
    raw->Exec(sql);

  // A NULL text after a row with text must not show that row's text.
  Collector divisions;
  TQueryCallback<Collector> divisionCallback(&divisions, &Collector::OnRow);
  ASSERT_TRUE(db->QueryDivisions(divisionCallback));
  EXPECT_EQ(divisions.Sorted(), (Rows{{1, L"North"}, {2, L""}, {3, L"South"}}));

  Collector facilities;
  TQueryCallback<Collector> facilityCallback(&facilities, &Collector::OnRow);
  ASSERT_TRUE(db->QueryFacilities(facilityCallback, 1));
  EXPECT_EQ(facilities.Sorted(), (Rows{{10, L"HB (Harbour)"}, {11, L" (Depot)"}}));
  facilities.rows.clear();
  ASSERT_TRUE(db->QueryFacilities(facilityCallback, 3));
  EXPECT_EQ(facilities.rows, (Rows{{12, L"X ()"}}));

  Collector seals;
  TQueryCallback<Collector> sealCallback(&seals, &Collector::OnRow);
  ASSERT_TRUE(db->QuerySeals(sealCallback));
  EXPECT_EQ(seals.Sorted(), (Rows{{5, L"5"}, {6, L"6"}}));

  Collector first(1);
  TQueryCallback<Collector> stopping(&first, &Collector::OnRow);
  EXPECT_TRUE(db->QueryDivisions(stopping));
  EXPECT_EQ(first.rows.size(), 1u);

  uint32_t serial = 0;
  EXPECT_TRUE(db->GetSerialNumber(serial, 5));
  EXPECT_EQ(serial, 500u);
  EXPECT_TRUE(db->GetSerialNumber(serial, 6));
  EXPECT_EQ(serial, 4000000000u);
  EXPECT_TRUE(boxes.Boxes().empty());
}

TEST_P(KeyDatabaseTest, RequestedSealsFollowEachSealsLatestRequest) {
  for (const char* sql : {
           "INSERT INTO \"OpDivs\" VALUES (1, 'North')",
           "INSERT INTO \"OpDivs\" VALUES (2, 'South')",
           "INSERT INTO \"Facilities\" VALUES (10, 'A', 'Alpha')",
           "INSERT INTO \"Facilities\" VALUES (11, 'B', 'Bravo')",
           "INSERT INTO \"Seals\" (\"SealID\", \"SerialNumber\") VALUES (1, 100)",
           "INSERT INTO \"Seals\" (\"SealID\", \"SerialNumber\") VALUES (2, 200)",
           "INSERT INTO \"Seals\" (\"SealID\", \"SerialNumber\") VALUES (3, 300)",
           // Seal 1 moved from facility 10 (division 1) to facility 11 (division 2).
           "INSERT INTO \"SealRequests\" VALUES (1, '2011-01-01 08:00:00', 10, 1)",
           "INSERT INTO \"SealRequests\" VALUES (1, '2011-02-01 08:00:00', 11, 2)",
           "INSERT INTO \"SealRequests\" VALUES (2, '2011-01-15 08:00:00', 10, 1)",
           // Seal 3's requests are one second apart.
           "INSERT INTO \"SealRequests\" VALUES (3, '2011-03-01 09:59:59', 10, 1)",
           "INSERT INTO \"SealRequests\" VALUES (3, '2011-03-01 10:00:00', 11, 1)",
       })
    raw->Exec(sql);
  struct Case {
    int opDivId, facilityId;
    bool byDivision;
    Rows seals;
  } cases[] = {
      {2, 10, false, {{2, L"2"}}},
      {1, 11, false, {{1, L"1"}, {3, L"3"}}},
      {1, 11, true, {{2, L"2"}, {3, L"3"}}},
      {2, 10, true, {{1, L"1"}}},
      {9, 99, false, {}},
  };
  for (const auto& c : cases) {
    Collector seals;
    TQueryCallback<Collector> callback(&seals, &Collector::OnRow);
    ASSERT_TRUE(db->QueryRequestedSeals(callback, c.opDivId, c.facilityId, c.byDivision));
    EXPECT_EQ(seals.Sorted(), c.seals) << c.opDivId << " " << c.facilityId << " " << c.byDivision;
  }
}

TEST_P(KeyDatabaseTest, KeysetListsAreNewestFirstPerSeal) {
  const uint32_t t1 = Millenium(2012, 1, 1, 0, 0, 0), t2 = t1 + 1, t3 = Millenium(2013, 6, 30, 23, 59, 59);
  ASSERT_TRUE(Store(0x1001, t1, 1));
  ASSERT_TRUE(Store(0x1002, t3, 2));
  ASSERT_TRUE(Store(0x1003, t2, 3));
  ASSERT_TRUE(Store(0x2001, t1, 4));
  raw->Exec("INSERT INTO \"Seals\" (\"SerialNumber\") VALUES (48)");  // a seal without key-sets
  const int a = SealIdOf(0x10), b = SealIdOf(0x20), none = SealIdOf(48);
  const auto id = [&](uint32_t number) {
    return std::stoi(
        raw->Value("SELECT \"KeyID\" FROM \"Keys\" WHERE \"KeysetNumber\" = " + std::to_string(number)));
  };
  const std::pair<int, std::wstring> a3{id(0x1002), L"00016-2 2013-06-30 23:59:59"},
      a2{id(0x1003), L"00016-3 2012-01-01 00:00:01"}, a1{id(0x1001), L"00016-1 2012-01-01 00:00:00"},
      b1{id(0x2001), L"00032-1 2012-01-01 00:00:00"};
  const int seals[] = {none, a, b};
  struct Case {
    const char* what;
    bool newestOnly;
    size_t stopAt;
    Rows rows;
  } cases[] = {
      {"all", false, SIZE_MAX, {a3, a2, a1, b1}},
      {"newest only", true, SIZE_MAX, {a3, b1}},
      // A false from the callback ends the current seal's rows, not the next seal's.
      {"stopping", false, 2, {a3, a2, b1}},
  };
  for (const auto& c : cases) {
    Collector rows(c.stopAt);
    TQueryCallback<Collector> callback(&rows, &Collector::OnRow);
    ASSERT_TRUE(db->QueryKeysets(callback, seals, 3, c.newestOnly)) << c.what;
    EXPECT_EQ(rows.rows, c.rows) << c.what;
  }
  Collector rows;
  TQueryCallback<Collector> callback(&rows, &Collector::OnRow);
  EXPECT_FALSE(db->QueryKeysets(callback, seals, 0, false));
  EXPECT_TRUE(rows.rows.empty());

  // A newest row whose time no key-set can have ends its seal's rows: the second newest
  // is never handed over as the newest.
  raw->Exec("INSERT INTO \"Keys\" (\"SealID\", \"KeysetNumber\", \"KeysetTime\", \"Authentication\", "
            "\"Authorization\", \"Identification\", \"Encryption\", \"Quarel\") VALUES (" +
            std::to_string(a) + ", 4100, '" + (GetParam().postgresql ? "infinity" : "30900-01-01 00:00:00") +
            "', 'A', 'A', 'A', 'A', 'A')");
  for (bool newestOnly : {true, false}) {
    Collector after;
    TQueryCallback<Collector> all(&after, &Collector::OnRow);
    ASSERT_TRUE(db->QueryKeysets(all, seals, 3, newestOnly));
    EXPECT_EQ(after.rows, Rows{b1}) << newestOnly;
  }
  EXPECT_TRUE(boxes.Boxes().empty());
}

TEST_P(KeyDatabaseTest, PassphrasesRoundTripAsTyped) {
  const uint8_t bsl[32] = {1, 2, 3};
  ASSERT_TRUE(db->InsertToken(1));
  ASSERT_TRUE(db->UpdateBsl(1, bsl));
  ASSERT_TRUE(db->UpdatePassphrase(1, L"other token"));
  ASSERT_TRUE(db->InsertToken(0xFFFFFFFE));
  ASSERT_TRUE(db->UpdateBsl(0xFFFFFFFE, bsl));
  for (const wchar_t* passphrase :
       {L"O'Brien", L"x'); DROP TABLE \"Tokens\"; --", L"caf\u00E9 \u20AC \U0001F511", L"'", L""}) {
    SCOPED_TRACE(platform::WideToUtf8(passphrase));
    ASSERT_TRUE(db->UpdatePassphrase(0xFFFFFFFE, passphrase));
    wchar_t loaded[128];
    uint8_t loadedBsl[32], key[16], mac[16];
    ASSERT_TRUE(db->LoadToken(0xFFFFFFFE, loaded, sizeof loaded, loadedBsl, key, mac));
    EXPECT_EQ(std::wstring(loaded), passphrase);
  }
  wchar_t loaded[128];
  uint8_t loadedBsl[32], key[16], mac[16];
  ASSERT_TRUE(db->LoadToken(1, loaded, sizeof loaded, loadedBsl, key, mac));
  EXPECT_EQ(std::wstring(loaded), L"other token");

  // The caller's buffer size is in bytes; the passphrase is cut to fit with its terminator.
  wchar_t small[8];
  ASSERT_TRUE(db->LoadToken(1, small, sizeof small, loadedBsl, key, mac));
  EXPECT_EQ(std::wstring(small), L"other t");
  EXPECT_EQ(raw->Value("SELECT COUNT(*) FROM \"Tokens\""), "2");
  EXPECT_TRUE(boxes.Boxes().empty());
}

TEST_P(KeyDatabaseTest, TokenRowsFollowTheirNullAndLengthRules) {
  const uint32_t serial = 0xFFFFFFFE;
  wchar_t passphrase[128];
  uint8_t bsl[32], key[16], mac[16];
  ASSERT_TRUE(db->InsertToken(serial));
  ASSERT_TRUE(db->InsertToken(serial));  // the row is there: kept, not doubled
  EXPECT_EQ(raw->Value("SELECT COUNT(*) FROM \"Tokens\""), "1");
  EXPECT_EQ(raw->Value("SELECT \"SerialNumber\" FROM \"Tokens\""), "4294967294");
  EXPECT_FALSE(db->LoadToken(serial, passphrase, sizeof passphrase, bsl, key, mac));  // no BSL yet

  uint8_t storedBsl[32];
  for (int i = 0; i < 32; ++i) storedBsl[i] = uint8_t(0xF0 - i);
  ASSERT_TRUE(db->UpdateBsl(serial, storedBsl));
  EXPECT_EQ(raw->Value("SELECT \"BSL\" FROM \"Tokens\""), Hex(storedBsl, 32));
  std::fill(std::begin(key), std::end(key), 0xEE);
  std::fill(std::begin(mac), std::end(mac), 0xEE);
  std::wcscpy(passphrase, L"left over");
  ASSERT_TRUE(db->LoadToken(serial, passphrase, sizeof passphrase, bsl, key, mac));
  EXPECT_EQ(std::wstring(passphrase), L"");  // NULL
  EXPECT_TRUE(std::equal(bsl, bsl + 32, storedBsl));
  EXPECT_EQ(Key(std::to_array(key)), Key{});
  EXPECT_EQ(Key(std::to_array(mac)), Key{});

  const Key firmwareKey = MakeKey(3), firmwareMac = MakeKey(7);
  ASSERT_TRUE(db->UpdateFirmwareKey(serial, firmwareKey.data(), firmwareMac.data()));
  ASSERT_TRUE(db->LoadToken(serial, passphrase, sizeof passphrase, bsl, key, mac));
  EXPECT_EQ(Key(std::to_array(key)), firmwareKey);
  EXPECT_EQ(Key(std::to_array(mac)), firmwareMac);

  struct Case {
    const char* what;
    const char* column;
    std::string value;
    bool loads;
    bool zeroKey;
  } cases[] = {
      {"lower-case key", "Key", "0f1e2d3c4b5a69788796a5b4c3d2e1f0", true, false},
      {"key of 31 digits", "Key", "0F1E2D3C4B5A69788796A5B4C3D2E1F", true, true},
      {"NULL key", "Key", "", true, true},
      {"MAC that is no hex", "MAC", "0F1E2D3C4B5A69788796A5B4C3D2E1FZ", false, false},
      {"BSL of 63 digits", "BSL", std::string(63, 'A'), false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(db->UpdateBsl(serial, storedBsl));
    ASSERT_TRUE(db->UpdateFirmwareKey(serial, firmwareKey.data(), firmwareMac.data()));
    raw->Exec(std::string("UPDATE \"Tokens\" SET \"") + c.column +
              "\" = " + (c.value.empty() ? "NULL" : "'" + c.value + "'"));
    EXPECT_EQ(db->LoadToken(serial, passphrase, sizeof passphrase, bsl, key, mac), c.loads);
    if (c.loads) {
      EXPECT_EQ(Hex(key, 16), c.zeroKey ? std::string(32, '0') : "0F1E2D3C4B5A69788796A5B4C3D2E1F0");
    }
  }

  // The schema keeps serial numbers unique, also against other writers.
  EXPECT_FALSE(raw->TryExec("INSERT INTO \"Tokens\" (\"SerialNumber\") VALUES (4294967294)"));
  raw->Exec("INSERT INTO \"Seals\" (\"SerialNumber\") VALUES (77)");
  EXPECT_FALSE(raw->TryExec("INSERT INTO \"Seals\" (\"SerialNumber\") VALUES (77)"));
  EXPECT_TRUE(boxes.Boxes().empty());
}

TEST_P(KeyDatabaseTest, UpdatesOfAMissingTokenSucceedAndChangeNothing) {
  const uint8_t bsl[32] = {}, key[16] = {}, mac[16] = {};
  EXPECT_TRUE(db->UpdatePassphrase(777, L"pw"));
  EXPECT_TRUE(db->UpdateBsl(777, bsl));
  EXPECT_TRUE(db->UpdateFirmwareKey(777, key, mac));
  EXPECT_EQ(raw->Value("SELECT COUNT(*) FROM \"Tokens\""), "0");
  EXPECT_TRUE(boxes.Boxes().empty());
}

TEST_P(KeyDatabaseTest, FailingStatementsShowTheirDiagnosticsInBoxes) {
  const uint8_t bytes[32] = {};
  uint8_t bsl[32], key[16], mac[16];
  std::array<Key, 4> keys{};
  wchar_t passphrase[128];
  uint32_t number, time;
  const int sealId = 1;
  Collector rows;
  TQueryCallback<Collector> callback(&rows, &Collector::OnRow);
  struct Case {
    const char* table;
    std::function<bool()> operation;
    bool reports;
  } cases[] = {
      {"Seals", [&] { return Store(0x100, kTime, 1); }, true},
      {"Keys", [&] { return Store(0x100, kTime, 1); }, true},
      {"Keys", [&] { return Load(0x100, kTime, keys); }, true},
      {"Keys", [&] { return LoadById(1, number, time, keys); }, true},
      {"OpDivs", [&] { return db->QueryDivisions(callback); }, true},
      {"Facilities", [&] { return db->QueryFacilities(callback, 1); }, true},
      {"SealRequests", [&] { return db->QueryRequestedSeals(callback, 1, 1, true); }, true},
      {"Seals", [&] { return db->QuerySeals(callback); }, true},
      {"Keys", [&] { return db->QueryKeysets(callback, &sealId, 1, false); }, true},
      {"Seals", [&] { return db->GetSerialNumber(number, 1); }, false},
      {"Tokens", [&] { return db->InsertToken(1); }, true},
      {"Tokens", [&] { return db->LoadToken(1, passphrase, sizeof passphrase, bsl, key, mac); }, true},
      {"Tokens", [&] { return db->UpdatePassphrase(1, L"pw"); }, true},
      {"Tokens", [&] { return db->UpdateBsl(1, bytes); }, true},
      {"Tokens", [&] { return db->UpdateFirmwareKey(1, bytes, bytes); }, true},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(std::to_string(i) + " without " + c.table);
    raw->Exec(std::string("DROP TABLE \"") + c.table + "\"" + (GetParam().postgresql ? " CASCADE" : ""));
    boxes.Clear();
    EXPECT_FALSE(c.operation());
    const auto shown = boxes.Boxes();
    if (!c.reports) {
      EXPECT_TRUE(shown.empty());
    } else {
      ASSERT_FALSE(shown.empty());
      for (const auto& box : shown) {
        EXPECT_EQ(box.caption, "ODBC Error");
        EXPECT_EQ(box.flags, platform::MB_OK);
        EXPECT_EQ(box.owner, nullptr);
        EXPECT_TRUE(std::regex_match(box.text, kBoxText)) << box.text;
      }
      EXPECT_NE(shown[0].text.find(c.table), std::string::npos) << shown[0].text;
    }
    ASSERT_NO_THROW(CreateDatabase(GetParam()));
    Connect();
  }
}

TEST_P(KeyDatabaseTest, ConnectionsThatCannotBeMadeThrowAndShowNothing) {
  db.reset();
  for (const auto& source : UnreachableSources(GetParam())) {
    SCOPED_TRACE(source.what);
    try {
      CKeysetDatasource unreachable(source.dataSource.c_str(), source.user.c_str(), source.password.c_str());
      ADD_FAILURE() << "connected";
    } catch (int error) {
      EXPECT_EQ(error, -1);
    }
  }
  try {
    CKeysetDatasource none(nullptr, nullptr, nullptr);
    ADD_FAILURE() << "connected";
  } catch (int error) {
    EXPECT_EQ(error, -1);
  }
  EXPECT_TRUE(boxes.Boxes().empty());
}

INSTANTIATE_TEST_SUITE_P(Sqlite, KeyDatabaseTest, testing::Values(Backend{"Sqlite", false}),
                         [](const auto&) { return std::string("SqliteOdbc"); });
INSTANTIATE_TEST_SUITE_P(Postgresql, KeyDatabaseTest, testing::Values(Backend{"Postgresql", true}),
                         [](const auto&) { return std::string("PsqlOdbc"); });

// The documented way to make the embedded database and its data source for a user.
TEST(KeydbCreate, MakesADatabaseAndAUserDataSourceThatConnect) {
  namespace fs = std::filesystem;
  const fs::path home = fs::path(OdbcSandbox::Dir()) / "home";
  fs::create_directories(home);
  const std::string env = "HOME='" + home.string() + "' XDG_DATA_HOME='" + (home / "data").string() +
                          "' ODBCINI='" + (home / "odbc.ini").string() + "' ";
  const std::string command = env + KEYDB_CREATE_SCRIPT + " ZarnKeysScripted >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_TRUE(fs::exists(home / "data" / "zarn" / "keys.db"));
  // A second run leaves the database alone.
  EXPECT_NE(std::system(command.c_str()), 0);

  ::setenv("ODBCINI", (home / "odbc.ini").c_str(), 1);
  platform::MessageBoxRecorder boxes;
  {
    CKeysetDatasource db(L"ZarnKeysScripted", L"", L"");
    const Key key = MakeKey(2);
    const uint8_t quarel[8] = {};
    ASSERT_TRUE(db.StoreKeyset(0x00ABCD01, kTime, key.data(), key.data(), key.data(), key.data(), quarel));
    std::array<Key, 4> keys{};
    ASSERT_TRUE(
        db.LoadKeyset(0x00ABCD01, kTime, keys[0].data(), keys[1].data(), keys[2].data(), keys[3].data()));
    EXPECT_EQ(keys[3], key);
    ASSERT_TRUE(db.InsertToken(5));
    ASSERT_TRUE(db.UpdatePassphrase(5, L"O'Brien"));
  }
  ::setenv("ODBCINI", (fs::path(OdbcSandbox::Dir()) / "odbc.ini").c_str(), 1);
  EXPECT_TRUE(boxes.Boxes().empty());
}

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::AddGlobalTestEnvironment(new OdbcSandbox);
  return RUN_ALL_TESTS();
}
