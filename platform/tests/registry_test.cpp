#include "registry.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>

#include "file_traps.h"
#include "pseudo_terminal.h"
#include "registry_store.h"

namespace fs = std::filesystem;
using namespace std::string_literals;
using platform::Registry;

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

HKEY Create(HKEY root, const std::string& path, DWORD* disposition = nullptr) {
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyEx(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, disposition),
            ERROR_SUCCESS)
      << path;
  return key;
}

LSTATUS SetString(HKEY key, const char* name, const std::string& text) {
  return RegSetValueEx(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), DWORD(text.size() + 1));
}

LSTATUS SetDword(HKEY key, const char* name, DWORD n) {
  return RegSetValueEx(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&n), 4);
}

// The value's type and bytes as RegQueryValueEx gives them, or its error as the type.
std::pair<DWORD, std::string> Query(HKEY key, const char* name) {
  DWORD type = 0, size = 0;
  if (LSTATUS r = RegQueryValueEx(key, name, nullptr, &type, nullptr, &size)) return {DWORD(r) << 16, ""};
  std::string data(size, '\0');
  EXPECT_EQ(RegQueryValueEx(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size), ERROR_SUCCESS);
  data.resize(size);
  return {type, data};
}

// Everything below a key, through the enumeration calls, one line per key and value.
void Dump(HKEY key, const std::string& path, std::string& out) {
  out += "[" + path + "]\n";
  for (DWORD i = 0;; ++i) {
    char name[16384];
    DWORD nameLength = sizeof name, type = 0, size = 0;
    if (RegEnumValue(key, i, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
    out += std::string(name, nameLength) + "=" + std::to_string(type) + ":" + Query(key, name).second + "\n";
  }
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD nameLength = sizeof name;
    if (RegEnumKeyEx(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY sub = nullptr;
    ASSERT_EQ(RegOpenKeyEx(key, name, 0, KEY_READ, &sub), ERROR_SUCCESS);
    Dump(sub, path + "\\" + name, out);
    RegCloseKey(sub);
  }
}

std::string Dump(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  if (LSTATUS r = RegOpenKeyEx(root, path.c_str(), 0, KEY_READ, &key)) return "error " + std::to_string(r);
  std::string out;
  Dump(key, "", out);
  RegCloseKey(key);
  return out;
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zarn-registry-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    store_ = dir_ + "/store";  // not there yet: the first change makes it
    ::setenv(platform::RegistryDirVariable, store_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv(platform::RegistryDirVariable);
    fs::remove_all(dir_);
  }
  std::string StoreText(const char* root) const { return ReadFile(store_ + "/" + root); }

  std::string dir_, store_;
};

TEST_F(RegistryTest, TypedValuesPersistInAReadableFile) {
  DWORD disposition = 0;
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\Halvec\\ZARN\\2.0\\", &disposition);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  EXPECT_EQ(SetString(key, "Operator1", "AB"), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(key, "Top", 460), ERROR_SUCCESS);
  const BYTE pad[] = {0x00, 0x01, 0xFF};
  EXPECT_EQ(RegSetValueEx(key, "Pad", 0, REG_BINARY, pad, 3), ERROR_SUCCESS);
  EXPECT_EQ(SetString(key, nullptr, "default"), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);

  HKEY again = Create(HKEY_CURRENT_USER, "Software\\Halvec\\ZARN\\2.0", &disposition);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  EXPECT_EQ(Query(again, "Operator1"), std::make_pair(REG_SZ, std::string("AB\0", 3)));
  EXPECT_EQ(Query(again, "Top"), std::make_pair(REG_DWORD, std::string("\xCC\x01\0\0", 4)));
  EXPECT_EQ(Query(again, "Pad"), std::make_pair(REG_BINARY, std::string("\0\x01\xFF", 3)));
  EXPECT_EQ(Query(again, ""), std::make_pair(REG_SZ, std::string("default\0", 8)));
  EXPECT_EQ(Query(again, "Missing").first, DWORD(ERROR_FILE_NOT_FOUND) << 16);

  // A short buffer is refused with the size it needs.
  char small[2];
  DWORD type = 0, size = sizeof small;
  EXPECT_EQ(RegQueryValueEx(again, "Operator1", nullptr, &type, reinterpret_cast<BYTE*>(small), &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(type, REG_SZ);
  RegCloseKey(again);

  std::string text = StoreText("HKEY_CURRENT_USER");
  EXPECT_EQ(text.rfind("ZARN registry 1\n", 0), 0u);
  EXPECT_NE(text.find("[Software\\Halvec\\ZARN\\2.0]\n"
                      "\"Operator1\"=sz:\"AB\"\n"
                      "\"Top\"=dword:460\n"
                      "\"Pad\"=binary:00 01 ff\n"
                      "@=sz:\"default\"\n"),
            std::string::npos)
      << text;
  EXPECT_FALSE(fs::exists(store_ + "/HKEY_LOCAL_MACHINE"));
  EXPECT_FALSE(fs::exists(store_ + "/HKEY_CLASSES_ROOT"));
}

TEST_F(RegistryTest, RootsAreSeparateFiles) {
  HKEY classes = Create(HKEY_CLASSES_ROOT, "CLSID\\{00000000-0000-0000-0000-000000000001}");
  HKEY machine = Create(HKEY_LOCAL_MACHINE, "Software\\Halvec");
  EXPECT_EQ(SetString(classes, nullptr, "Class"), ERROR_SUCCESS);
  HKEY user = nullptr;
  EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "CLSID", 0, KEY_READ, &user), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(user, nullptr);
  EXPECT_NE(StoreText("HKEY_CLASSES_ROOT").find("[CLSID\\{00000000-0000-0000-0000-000000000001}]\n@=sz:\"Class\""),
            std::string::npos);
  EXPECT_NE(StoreText("HKEY_LOCAL_MACHINE").find("[Software\\Halvec]"), std::string::npos);
  RegCloseKey(classes);
  RegCloseKey(machine);
}

TEST_F(RegistryTest, NamesIgnoreCaseAndKeepTheirOwn) {
  HKEY groups = Create(HKEY_CURRENT_USER, "Software\\Halvec\\Groups");
  HKEY group = Create(groups, "Gr\xFCppe \xC0");  // Grüppe À in Windows-1252
  EXPECT_EQ(SetDword(group, "Seal1", 5), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(group, "SEAL1", 7), ERROR_SUCCESS);  // the same value

  HKEY upper = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "SOFTWARE\\halvec\\GROUPS\\GR\xDCPPE \xE0", 0, KEY_READ, &upper),
            ERROR_SUCCESS);
  EXPECT_EQ(Query(upper, "seal1").second, std::string("\x07\0\0\0", 4));
  EXPECT_EQ(Dump(HKEY_CURRENT_USER, "software"),
            "[]\n[\\Halvec]\n[\\Halvec\\Groups]\n[\\Halvec\\Groups\\Gr\xFCppe \xC0]\nSeal1=4:\x07\0\0\0\n"s);
  DWORD disposition = 0;
  RegCloseKey(Create(HKEY_CURRENT_USER, "SOFTWARE\\HALVEC", &disposition));
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  char name[256];
  DWORD length = sizeof name;
  EXPECT_EQ(RegEnumKeyEx(HKEY_CURRENT_USER, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::string(name, length), "Software");
  for (HKEY k : {groups, group, upper}) RegCloseKey(k);
}

TEST_F(RegistryTest, EnumeratesKeysByNameAndValuesInTheOrderMade) {
  HKEY key = Create(HKEY_CURRENT_USER, "List");
  for (const char* sub : {"b", "A", "c_", "C"}) RegCloseKey(Create(key, sub));
  for (const char* value : {"z", "a", "m"}) SetString(key, value, value);

  std::vector<std::string> keys, values;
  char name[256];
  DWORD length;
  for (DWORD i = 0; length = sizeof name, RegEnumKeyEx(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) == 0; ++i)
    keys.emplace_back(name, length);
  for (DWORD i = 0; length = sizeof name, RegEnumValue(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) == 0; ++i)
    values.emplace_back(name, length);
  EXPECT_EQ(keys, (std::vector<std::string>{"A", "b", "C", "c_"}));
  EXPECT_EQ(values, (std::vector<std::string>{"z", "a", "m"}));

  length = sizeof name;
  EXPECT_EQ(RegEnumValue(key, 3, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegEnumKeyEx(key, 4, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  length = 1;  // no room for "z" and its terminator
  EXPECT_EQ(RegEnumValue(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  DWORD type = 0, size = 1;
  BYTE data[1];
  length = sizeof name;
  EXPECT_EQ(RegEnumValue(key, 0, name, &length, nullptr, &type, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 2u);

  DWORD subKeys = 0, maxSub = 0, valueCount = 0, maxName = 0, maxData = 0;
  EXPECT_EQ(RegQueryInfoKey(key, nullptr, nullptr, nullptr, &subKeys, &maxSub, nullptr, &valueCount, &maxName,
                            &maxData, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(std::vector<DWORD>({subKeys, maxSub, valueCount, maxName, maxData}), std::vector<DWORD>({4, 2, 3, 1, 2}));
  RegCloseKey(key);
}

TEST_F(RegistryTest, ErrorCodes) {
  HKEY key = Create(HKEY_CURRENT_USER, "A\\B");
  HKEY readOnly = nullptr, out = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "A", 0, KEY_READ, &readOnly), ERROR_SUCCESS);
  HKEY bogus = reinterpret_cast<HKEY>(uintptr_t(0x7654321));
  DWORD n = 1;
  const BYTE three[3] = {};

  EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "A\\Missing", 0, KEY_READ, &out), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyEx(bogus, "A", 0, KEY_READ, &out), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "\\A", 0, KEY_READ, &out), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "A\\\\B", 0, KEY_READ, &out), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, std::string(256, 'k').c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                           nullptr, &out, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegSetValueEx(readOnly, "v", 0, REG_DWORD, reinterpret_cast<BYTE*>(&n), 4), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCreateKeyEx(readOnly, "New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegSetValueEx(key, "v", 0, REG_DWORD, three, 3), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegDeleteValue(key, "Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKey(HKEY_CURRENT_USER, "A"), ERROR_ACCESS_DENIED);  // it has a subkey
  EXPECT_EQ(RegDeleteKey(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED);   // a root stays
  EXPECT_EQ(RegDeleteKey(HKEY_CURRENT_USER, "A\\Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteTree(HKEY_CURRENT_USER, "Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(out, nullptr);

  // A handle outlives its key, but only to report that the key went.
  EXPECT_EQ(RegDeleteKey(HKEY_CURRENT_USER, "A\\B"), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueEx(key, "v", 0, REG_DWORD, reinterpret_cast<BYTE*>(&n), 4), ERROR_KEY_DELETED);
  EXPECT_EQ(Query(key, "v").first, DWORD(ERROR_KEY_DELETED) << 16);
  EXPECT_EQ(RegOpenKeyEx(key, "C", 0, KEY_READ, &out), ERROR_KEY_DELETED);
  RegCloseKey(key);
  RegCloseKey(readOnly);
}

TEST_F(RegistryTest, DeleteTreeTakesTheSubtreeOrEmptiesTheKey) {
  HKEY a = Create(HKEY_CURRENT_USER, "A");
  RegCloseKey(Create(a, "B\\C\\D"));
  SetString(a, "v", "x");
  EXPECT_EQ(RegDeleteTree(a, "b\\c"), ERROR_SUCCESS);
  EXPECT_EQ(Dump(HKEY_CURRENT_USER, "A"), "[]\nv=1:x\0\n[\\B]\n"s);
  EXPECT_EQ(RegDeleteTree(a, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(Dump(HKEY_CURRENT_USER, "A"), "[]\n");
  EXPECT_EQ(RegDeleteKey(a, ""), ERROR_SUCCESS);  // the handle's own key
  EXPECT_EQ(Dump(HKEY_CURRENT_USER, "A"), "error 2");
  RegCloseKey(a);
}

TEST_F(RegistryTest, AnyBytesRoundTripAndTheFileStaysAscii) {
  std::string all;
  for (int c = 0; c < 256; ++c) all += char(c);
  std::string keyName;
  for (int c = 1; c < 256; ++c)
    if (c != '\\' && c != ' ') keyName += char(c);
  keyName = " " + keyName.substr(0, 250) + " ";  // spaces at both ends, within 255 characters
  std::string valueName = all.substr(1) + "%22";

  HKEY key = Create(HKEY_CURRENT_USER, "Bytes\\" + keyName);
  EXPECT_EQ(SetString(key, valueName.c_str(), all), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueEx(key, "bin", 0, REG_BINARY, reinterpret_cast<const BYTE*>(all.data()), 256), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueEx(key, "multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>("a\0b\0\0"), 5), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueEx(key, "empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
  RegCloseKey(key);

  std::string expected = "[]\n[\\" + keyName + "]\n" + valueName + "=1:" + all + '\0' + "\nbin=3:" + all +
                         "\nmulti=7:a\0b\0\0\nempty=3:\n"s;
  EXPECT_EQ(Dump(HKEY_CURRENT_USER, "Bytes"), expected);
  for (unsigned char c : StoreText("HKEY_CURRENT_USER")) ASSERT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F)) << int(c);

  // And through a saved key.
  std::string file = dir_ + "/bytes.zrn";
  HKEY bytes = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Bytes", 0, KEY_ALL_ACCESS, &bytes), ERROR_SUCCESS);
  EXPECT_EQ(RegSaveKey(bytes, file.c_str(), nullptr), ERROR_SUCCESS);
  HKEY copy = Create(HKEY_CURRENT_USER, "Copy");
  EXPECT_EQ(RegRestoreKey(copy, file.c_str(), 0), ERROR_SUCCESS);
  EXPECT_EQ(Dump(HKEY_CURRENT_USER, "Copy"), expected);
  RegCloseKey(bytes);
  RegCloseKey(copy);
}

// A key name holding an escaped backslash stays one name, written back as it was read,
// so the next save gives a file that reads again.
TEST_F(RegistryTest, AnEscapedBackslashInAKeyNameStaysInTheName) {
  fs::create_directories(store_);
  WriteFile(store_ + "/HKEY_CURRENT_USER", "ZARN registry 1\n[]\n[%5C]\n[a%5Cb]\n\"v\"=dword:1\n");
  HKEY key = Create(HKEY_CURRENT_USER, "Next");
  EXPECT_EQ(SetDword(key, "n", 2), ERROR_SUCCESS);
  RegCloseKey(key);
  const std::string text = StoreText("HKEY_CURRENT_USER");
  EXPECT_NE(text.find("\n[%5C]\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n[a%5Cb]\n\"v\"=dword:1\n"), std::string::npos) << text;
  HKEY a = nullptr;
  EXPECT_NE(RegOpenKeyEx(HKEY_CURRENT_USER, "a", 0, KEY_READ, &a), ERROR_SUCCESS);  // no nested a\b
  // Every later read and write of the root still works.
  key = Create(HKEY_CURRENT_USER, "Later");
  EXPECT_EQ(SetDword(key, "n", 3), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(Dump(HKEY_CURRENT_USER, "Next"), "[]\nn=4:\x02\0\0\0\n"s);
}

class SavedKeyTest : public RegistryTest {
 protected:
  static constexpr const char* Settings = "Software\\Halvec\\ZARN\\2.0";
  void SetUp() override {
    RegistryTest::SetUp();
    settings_ = Create(HKEY_CURRENT_USER, Settings);
    SetDword(settings_, "Top", 10);
    SetString(settings_, "Operator1", "AB");
    HKEY com = Create(settings_, "Setup\\COM3");
    SetDword(com, "Seal1", 123);
    RegCloseKey(com);
    RegCloseKey(Create(settings_, "Groups\\Empty"));
    RegCloseKey(Create(HKEY_CURRENT_USER, "Software\\Other"));  // outside the saved key
    file_ = dir_ + "/setup.zrn";
    ASSERT_EQ(RegSaveKey(settings_, file_.c_str(), nullptr), ERROR_SUCCESS);
    saved_ = Dump(HKEY_CURRENT_USER, Settings);
  }
  void TearDown() override {
    RegCloseKey(settings_);
    RegistryTest::TearDown();
  }
  HKEY settings_ = nullptr;
  std::string file_, saved_;
};

TEST_F(SavedKeyTest, RestoreReplacesTheSubtreeWhole) {
  EXPECT_EQ(ReadFile(file_).rfind("ZARN saved key 1\n", 0), 0u);
  EXPECT_EQ(RegSaveKey(settings_, file_.c_str(), nullptr), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(RegSaveKey(settings_, (dir_ + "/no/such/folder.zrn").c_str(), nullptr), ERROR_PATH_NOT_FOUND);

  SetDword(settings_, "Top", 99);
  RegDeleteValue(settings_, "Operator1");
  SetString(settings_, "Added", "x");
  RegCloseKey(Create(settings_, "Setup\\COM4"));
  RegDeleteTree(settings_, "Groups");
  ASSERT_NE(Dump(HKEY_CURRENT_USER, Settings), saved_);

  EXPECT_EQ(RegRestoreKey(settings_, file_.c_str(), 0), ERROR_SUCCESS);
  EXPECT_EQ(Dump(HKEY_CURRENT_USER, Settings), saved_);
  EXPECT_NE(Dump(HKEY_CURRENT_USER, "Software\\Other"), "error 2");

  // Into a key of another name, which keeps its own name.
  HKEY other = Create(HKEY_CLASSES_ROOT, "Elsewhere");
  EXPECT_EQ(RegRestoreKey(other, file_.c_str(), 0), ERROR_SUCCESS);
  EXPECT_EQ(Dump(HKEY_CLASSES_ROOT, "Elsewhere"), saved_);
  RegCloseKey(other);
}

TEST_F(SavedKeyTest, RestoreRefusesWhatIsNotASavedKey) {
  std::string good = ReadFile(file_);
  std::string store = StoreText("HKEY_CURRENT_USER");
  struct Case {
    const char* what;
    std::string text;
  } cases[] = {
      {"empty", ""},
      {"text", "Top=10\n"},
      {"a store file", store},
      {"a later format", "ZARN saved key 2\n[]\n"},
      {"a value before any key", "ZARN saved key 1\n\"Top\"=dword:1\n"},
      {"a broken line at the end", good + "\"Top\"=dword:\n"},
      {"a cut escape", good + "[Setup\\COM%4]\n"},
      {"a number too big", good + "[X]\n\"N\"=dword:4294967296\n"},
      {"an unknown type", good + "[X]\n\"N\"=qword:1\n"},
      {"a value twice", good + "[X]\n\"N\"=dword:1\n\"n\"=dword:2\n"},
      {"a value twice in two sections of a key", good + "[X]\n\"N\"=dword:1\n[Y]\n[X]\n\"n\"=dword:2\n"},
      {"an empty key name", good + "[Setup\\\\COM5]\n"},
      {"odd hex", good + "[X]\n\"B\"=binary:0a f\n"},
  };
  SetDword(settings_, "Top", 99);
  std::string before = Dump(HKEY_CURRENT_USER, Settings);
  for (const auto& c : cases) {
    std::string bad = dir_ + "/bad.zrn";
    WriteFile(bad, c.text);
    EXPECT_EQ(RegRestoreKey(settings_, bad.c_str(), 0), ERROR_BADDB) << c.what;
    EXPECT_EQ(Dump(HKEY_CURRENT_USER, Settings), before) << c.what;
  }
  EXPECT_EQ(RegRestoreKey(settings_, (dir_ + "/missing.zrn").c_str(), 0), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegRestoreKey(settings_, dir_.c_str(), 0), ERROR_BADDB);  // a folder
  EXPECT_EQ(Dump(HKEY_CURRENT_USER, Settings), before);
}

// What is no saved key to read is refused at once and changes nothing: a FIFO, a device,
// and a file larger than any setup, before it is read.
TEST_F(SavedKeyTest, RestoreRefusesWhatIsNoFileOrTooLargeAtOnce) {
  const std::string good = ReadFile(file_);
  const std::string huge = dir_ + "/huge.zrn", largest = dir_ + "/largest.zrn";
  // Both read as saved keys, padded with a comment; one byte more than the limit is too much.
  auto padded = [&](size_t size) { return good + ";" + std::string(size - good.size() - 2, 'x') + "\n"; };
  WriteFile(largest, padded(platform::reg::MaxSavedKeyFile));
  WriteFile(huge, padded(platform::reg::MaxSavedKeyFile + 1));
  sim::Fifo fifo(dir_ + "/fifo.zrn");
  SetDword(settings_, "Top", 99);
  const std::string before = Dump(HKEY_CURRENT_USER, Settings);
  for (const std::string& path : {fifo.Path(), "/dev/zero"s, huge}) {
    const long long peak = sim::PeakMemory();
    EXPECT_TRUE(fifo.ReturnsAtOnce([&] { EXPECT_EQ(RegRestoreKey(settings_, path.c_str(), 0), ERROR_BADDB) << path; }))
        << path;
    EXPECT_LT(sim::PeakMemory() - peak, 64ll << 20) << path;
  }
  EXPECT_EQ(Dump(HKEY_CURRENT_USER, Settings), before);
  EXPECT_EQ(RegRestoreKey(settings_, largest.c_str(), 0), ERROR_SUCCESS);
  EXPECT_EQ(Dump(HKEY_CURRENT_USER, Settings), saved_);
}

// Restoring looks up each value among those of its key once, not among all before it: a key
// of 16 times the values takes at most 16 times as long (some 4 to 10 with the fixed costs),
// where a search through all before each takes 100 to 200 times, also under the sanitizers.
// Taken as a ratio within one run, the figure holds on a loaded machine.
TEST_F(SavedKeyTest, AKeyOfManyValuesRestoresInLittleTime) {
  using Clock = std::chrono::steady_clock;
  constexpr int Bound = 32;
  const auto savedKeyOf = [&](int values) {
    std::string text = ReadFile(file_) + "[Many]\n";
    char line[32];
    for (int i = 0; i < values; ++i)
      text += std::string(line, std::snprintf(line, sizeof line, "\"V%06d\"=dword:%d\n", i, i));
    const std::string file = dir_ + "/many" + std::to_string(values) + ".zrn";
    WriteFile(file, text);
    return file;
  };
  const auto restoreTime = [&](const std::string& file) {
    const auto start = Clock::now();
    EXPECT_EQ(RegRestoreKey(settings_, file.c_str(), 0), ERROR_SUCCESS);
    return Clock::now() - start;
  };
  const std::string few = savedKeyOf(1000), many = savedKeyOf(16000);
  auto fewTime = Clock::duration::max(), manyTime = Clock::duration::max();
  for (int attempt = 0; attempt < 5; ++attempt) fewTime = std::min(fewTime, restoreTime(few));
  // A try the machine slowed is made again; a restore that searches is slow at every try.
  for (int attempt = 0; attempt < 5 && manyTime >= Bound * fewTime; ++attempt)
    manyTime = std::min(manyTime, restoreTime(many));
  const auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
  EXPECT_LT(manyTime, Bound * fewTime)
      << "1,000 values in " << ms(fewTime) << " ms, 16,000 in " << ms(manyTime) << " ms";
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyEx(settings_, "Many", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(Query(key, "V015999"), std::make_pair(REG_DWORD, std::string("\x7F\x3E\0\0", 4)));
  RegCloseKey(key);
}

TEST_F(RegistryTest, DamagedStoreIsRefusedNotOverwritten) {
  RegCloseKey(Create(HKEY_CURRENT_USER, "A"));
  std::string damaged = StoreText("HKEY_CURRENT_USER") + "garbage\n";
  WriteFile(store_ + "/HKEY_CURRENT_USER", damaged);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "A", 0, KEY_READ, &key), ERROR_BADDB);
  EXPECT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "B", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_BADDB);
  EXPECT_EQ(SetDword(HKEY_CURRENT_USER, "v", 1), ERROR_BADDB);
  EXPECT_EQ(StoreText("HKEY_CURRENT_USER"), damaged);
  RegCloseKey(Create(HKEY_CLASSES_ROOT, "A"));  // the other roots go on working
}

// A root's file that is no file to read is refused at once, by readers and by writers
// alike: a writer waiting on a FIFO would hold the root's lock, so every writer waited.
// A file larger than any store is refused before it is read.
TEST_F(RegistryTest, AStoreThatIsNoFileIsRefusedAtOnce) {
  RegCloseKey(Create(HKEY_CURRENT_USER, "A"));
  const std::string file = store_ + "/HKEY_CURRENT_USER", good = StoreText("HKEY_CURRENT_USER");
  sim::Fifo fifo(dir_ + "/fifo");
  const std::string huge = dir_ + "/huge";
  WriteFile(huge, good);
  fs::resize_file(huge, 3ull << 30);  // sparse
  for (const std::string& target : {fifo.Path(), "/dev/zero"s, dir_, huge}) {
    fs::remove(file);
    fs::create_symlink(target, file);
    const long long peak = sim::PeakMemory();
    HKEY key = nullptr;
    EXPECT_TRUE(fifo.ReturnsAtOnce([&] {
      EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "A", 0, KEY_READ, &key), ERROR_BADDB) << target;
      EXPECT_EQ(SetDword(HKEY_CURRENT_USER, "v", 1), ERROR_BADDB) << target;
    })) << target;
    EXPECT_LT(sim::PeakMemory() - peak, 64ll << 20) << target;
    EXPECT_TRUE(fs::is_symlink(file)) << target;
  }
  fs::remove(file);
  WriteFile(file, good);
  EXPECT_EQ(SetDword(HKEY_CURRENT_USER, "v", 1), ERROR_SUCCESS);
}

// Two processes of two threads each write their own values and keys into one key, all
// at once, while this process keeps reading it: no write may be lost, no read may fail.
TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
  constexpr int Processes = 2, Threads = 2, Writes = 60;
  RegCloseKey(Create(HKEY_CURRENT_USER, "Shared"));
  auto name = [](int p, int t, int i) {
    return "p" + std::to_string(p) + "t" + std::to_string(t) + "i" + std::to_string(i);
  };
  std::vector<pid_t> children;
  for (int p = 0; p < Processes; ++p) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::atomic<bool> ok = true;
      std::vector<std::thread> threads;
      for (int t = 0; t < Threads; ++t)
        threads.emplace_back([&, t] {
          for (int i = 0; i < Writes; ++i) {
            std::string n = name(p, t, i);
            HKEY key = nullptr, sub = nullptr;
            LSTATUS r = RegOpenKeyEx(HKEY_CURRENT_USER, "Shared", 0, KEY_ALL_ACCESS, &key);
            if (r == ERROR_SUCCESS)
              r = i % 2 ? RegCreateKeyEx(key, n.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr)
                        : SetString(key, n.c_str(), n);
            if (r != ERROR_SUCCESS) ok = false;
            RegCloseKey(sub);
            RegCloseKey(key);
          }
        });
      for (auto& t : threads) t.join();
      ::_exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }

  HKEY shared = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Shared", 0, KEY_READ, &shared), ERROR_SUCCESS);
  DWORD last = 0, reads = 0, failures = 0;
  size_t running = children.size();
  while (running > 0) {
    DWORD subKeys = 0, values = 0;
    if (RegQueryInfoKey(shared, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr, nullptr,
                        nullptr, nullptr) != ERROR_SUCCESS ||
        subKeys + values < last)
      ++failures;
    last = subKeys + values;
    ++reads;
    for (pid_t& pid : children) {
      int status = 0;
      if (pid > 0 && ::waitpid(pid, &status, WNOHANG) == pid) {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer failed";
        pid = 0;
        --running;
      }
    }
  }
  EXPECT_EQ(failures, 0u) << "of " << reads << " reads";

  for (int p = 0; p < Processes; ++p)
    for (int t = 0; t < Threads; ++t)
      for (int i = 0; i < Writes; ++i) {
        std::string n = name(p, t, i);
        if (i % 2) {
          HKEY sub = nullptr;
          EXPECT_EQ(RegOpenKeyEx(shared, n.c_str(), 0, KEY_READ, &sub), ERROR_SUCCESS) << n;
          RegCloseKey(sub);
        } else {
          EXPECT_EQ(Query(shared, n.c_str()).second, n + '\0') << n;
        }
      }
  RegCloseKey(shared);
}

TEST_F(RegistryTest, SerialCommListsThePresentPortsReadOnly) {
  sim::PseudoTerminal token, line;
  auto serialPorts = [] {
    std::vector<std::pair<std::string, std::string>> ports;
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key)) return ports;
    for (DWORD i = 0;; ++i) {
      char name[256];
      BYTE data[256];
      DWORD nameLength = sizeof name, size = sizeof data, type = 0;
      if (RegEnumValue(key, i, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
      EXPECT_EQ(type, REG_SZ);
      ports.emplace_back(std::string(name, nameLength), std::string(reinterpret_cast<char*>(data)));
    }
    RegCloseKey(key);
    return ports;
  };
  using Ports = std::vector<std::pair<std::string, std::string>>;
  auto map = std::make_unique<sim::ScopedPortMap>(std::vector<sim::ScopedPortMap::Entry>{
      {7, token.Path(), true}, {3, line.Path(), false}, {8, "/dev/zarn-no-such-device", true}});
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, "Software"));
  EXPECT_EQ(serialPorts(), (Ports{{"\\Device\\Serial0", "COM3"}, {"\\Device\\VCP0", "COM7"}}));

  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "hardware\\devicemap\\serialcomm", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(SetString(key, "\\Device\\VCP9", "COM9"), ERROR_ACCESS_DENIED);
  RegCloseKey(key);
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_WRITE, &key), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "HARDWARE\\X", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteTree(HKEY_LOCAL_MACHINE, "HARDWARE"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Dump(HKEY_LOCAL_MACHINE, ""),
            "[]\n[\\HARDWARE]\n[\\HARDWARE\\DEVICEMAP]\n[\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n"
            "\\Device\\Serial0=1:COM3\0\n\\Device\\VCP0=1:COM7\0\n[\\Software]\n"s);
  EXPECT_EQ(StoreText("HKEY_LOCAL_MACHINE").find("HARDWARE"), std::string::npos);

  // Read anew each time: the map and the devices decide.
  line.Unplug();
  map.reset();
  map = std::make_unique<sim::ScopedPortMap>(
      std::vector<sim::ScopedPortMap::Entry>{{12, token.Path(), true}, {3, line.Path(), false}});
  EXPECT_EQ(serialPorts(), (Ports{{"\\Device\\VCP0", "COM12"}}));
}

TEST_F(RegistryTest, KeyObjectServesTheSettingsCode) {
  Registry reg;
  EXPECT_FALSE(reg.OpenKey("\\Software\\Halvec\\ZARN\\2.0\\", false));
  EXPECT_EQ(reg.LastError(), ERROR_FILE_NOT_FOUND);
  ASSERT_TRUE(reg.OpenKey("\\Software\\Halvec\\ZARN\\2.0\\", true));
  EXPECT_EQ(reg.CurrentPath(), "Software\\Halvec\\ZARN\\2.0");
  EXPECT_TRUE(reg.WriteInteger("Top", -5));
  EXPECT_TRUE(reg.WriteString("Operator1", std::string("A\0\xE9", 3)));
  EXPECT_TRUE(reg.WriteBool("ShowDialog", false));
  EXPECT_TRUE(reg.WriteBinaryData("Blob", {1, 0, 2}));
  EXPECT_EQ(reg.ReadInteger("TOP"), -5);
  EXPECT_EQ(reg.ReadString("Operator1"), std::string("A\0\xE9", 3));
  EXPECT_EQ(reg.ReadBool("ShowDialog"), false);
  EXPECT_EQ(reg.ReadBinaryData("Blob"), (std::vector<uint8_t>{1, 0, 2}));
  // A value of another type counts as missing.
  EXPECT_EQ(reg.ReadInteger("Operator1"), std::nullopt);
  EXPECT_EQ(reg.LastError(), ERROR_DATATYPE_MISMATCH);
  EXPECT_EQ(reg.ReadString("Top"), std::nullopt);
  EXPECT_EQ(reg.ReadInteger("Missing"), std::nullopt);
  EXPECT_EQ(reg.LastError(), ERROR_FILE_NOT_FOUND);

  ASSERT_TRUE(reg.OpenKey("Setup\\COM3", true));  // from the current key
  EXPECT_EQ(reg.CurrentPath(), "Software\\Halvec\\ZARN\\2.0\\Setup\\COM3");
  EXPECT_TRUE(reg.WriteInteger("Seal1", 123));
  ASSERT_TRUE(reg.OpenKey("\\Software\\Halvec\\ZARN\\2.0", false));
  EXPECT_EQ(reg.GetKeyNames(), std::vector<std::string>{"Setup"});
  EXPECT_EQ(reg.GetValueNames(), (std::vector<std::string>{"Top", "Operator1", "ShowDialog", "Blob"}));
  EXPECT_TRUE(reg.KeyExists("setup\\com3"));
  EXPECT_TRUE(reg.ValueExists("blob"));
  EXPECT_TRUE(reg.DeleteValue("Blob"));
  EXPECT_FALSE(reg.ValueExists("Blob"));

  // Export and import as the reader does them: save, rewrite the key, restore.
  std::string file = dir_ + "/setup.zrn";
  ASSERT_TRUE(reg.SaveKey(file));
  EXPECT_FALSE(reg.SaveKey(file));
  EXPECT_EQ(reg.LastError(), ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(reg.DeleteKey("\\Software\\Halvec\\ZARN\\2.0"));
  EXPECT_FALSE(reg.KeyExists("\\Software\\Halvec\\ZARN\\2.0\\Setup"));
  ASSERT_TRUE(reg.OpenKey("\\Software\\Halvec\\ZARN\\2.0", true));
  EXPECT_EQ(reg.ReadInteger("Top"), std::nullopt);
  ASSERT_TRUE(reg.RestoreKey(file));
  EXPECT_EQ(reg.ReadInteger("Top"), -5);
  ASSERT_TRUE(reg.OpenKeyReadOnly("Setup\\COM3"));
  EXPECT_EQ(reg.ReadInteger("Seal1"), 123);
  EXPECT_FALSE(reg.WriteInteger("Seal2", 1));
  EXPECT_EQ(reg.LastError(), ERROR_ACCESS_DENIED);

  Registry machine(HKEY_LOCAL_MACHINE);
  EXPECT_FALSE(machine.OpenKey("HARDWARE\\DEVICEMAP\\SERIALCOMM", false));  // not for writing
  EXPECT_TRUE(machine.OpenKeyReadOnly("HARDWARE\\DEVICEMAP\\SERIALCOMM"));
}

// A change that would make its root's file larger than a read takes is refused, and the
// root keeps its file: written, the root would count as damaged for every later read and
// change. A root of just the limit is written and read. A suite of its own, run after the
// others: the memory it takes would hide what their checks of the peak memory measure.
using StoreLimitTest = RegistryTest;
TEST_F(StoreLimitTest, AChangeThatWouldPassTheLimitIsRefused) {
  HKEY key = Create(HKEY_CURRENT_USER, "Large");
  ASSERT_EQ(SetString(key, "Text", ""), ERROR_SUCCESS);
  const std::string small = StoreText("HKEY_CURRENT_USER");
  const std::string largest(platform::reg::MaxStoreFile - small.size(), 'x');  // each x adds a byte
  EXPECT_EQ(SetString(key, "Text", largest + "x"), ERROR_REGISTRY_QUOTA_LIMIT);
  EXPECT_EQ(StoreText("HKEY_CURRENT_USER"), small);
  EXPECT_EQ(SetDword(key, "More", 1), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValue(key, "More"), ERROR_SUCCESS);

  ASSERT_EQ(SetString(key, "Text", largest), ERROR_SUCCESS);
  EXPECT_EQ(fs::file_size(store_ + "/HKEY_CURRENT_USER"), platform::reg::MaxStoreFile);
  std::string back(largest.size() + 1, '\0');
  DWORD type = 0, size = DWORD(back.size());
  EXPECT_EQ(RegQueryValueEx(key, "Text", nullptr, &type, reinterpret_cast<BYTE*>(back.data()), &size), ERROR_SUCCESS);
  EXPECT_EQ(back, largest + '\0');
  RegCloseKey(key);
}

TEST(RegistryDirectory, TheVariableThenXdgThenHome) {
  const char* saved[] = {std::getenv("ZARN_REGISTRY_DIR"), std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME")};
  std::string keep[3];
  for (int i = 0; i < 3; ++i) keep[i] = saved[i] ? saved[i] : "";
  ::setenv("HOME", "/home/op", 1);
  ::setenv("XDG_CONFIG_HOME", "/xdg", 1);
  ::setenv("ZARN_REGISTRY_DIR", "/elsewhere", 1);
  EXPECT_EQ(platform::RegistryDirectory(), "/elsewhere");
  ::unsetenv("ZARN_REGISTRY_DIR");
  EXPECT_EQ(platform::RegistryDirectory(), "/xdg/zarn/registry");
  ::setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored
  EXPECT_EQ(platform::RegistryDirectory(), "/home/op/.config/zarn/registry");
  const char* names[] = {"ZARN_REGISTRY_DIR", "XDG_CONFIG_HOME", "HOME"};
  for (int i = 0; i < 3; ++i) saved[i] ? ::setenv(names[i], keep[i].c_str(), 1) : ::unsetenv(names[i]);
}

}  // namespace
