// The crypto service as its clients meet it: another process, started by the session
// bus, computing with the key database or with a token.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/wait.h>
#include <thread>

#include "activation.h"
#include "brisel.h"
#include "brisel_module.h"
#include "hash_key.h"
#include "keydb_test_support.h"
#include "service_world.h"
#include "keyset_datasource.h"
#include "local_client.h"
#include "registry.h"
#include "token_sim.h"

using namespace std::chrono;
namespace fs = std::filesystem;

namespace {

using brisel_test::ServiceWorld;
const keydb_test::Backend& Sqlite = ServiceWorld::Database();

using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& hex) {
  Bytes b;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) b.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return b;
}

Bytes Ecb(const EVP_CIPHER* cipher, const Bytes& key, Bytes data, bool encrypt = true) {
  EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
  int n = 0;
  EVP_CipherInit_ex(c, cipher, nullptr, key.data(), nullptr, encrypt);
  EVP_CIPHER_CTX_set_padding(c, 0);
  EVP_CipherUpdate(c, data.data(), &n, data.data(), int(data.size()));
  EVP_CIPHER_CTX_free(c);
  return data;
}

Bstr B(const Bytes& b) { return Bstr::FromBytes(b.data(), b.size()); }
Bytes Of(const Bstr& s) { return Bytes(s.Bytes(), s.Bytes() + s.ByteLength()); }

int RunBrisel(const std::string& arguments) { return std::system((std::string(BRISEL_PATH) + " " + arguments).c_str()); }

// The four keys of a key-set: each key type's own 16 bytes.
std::array<Bytes, 4> Keys(uint8_t seed) {
  std::array<Bytes, 4> keys;
  for (int t = 0; t < 4; ++t) {
    keys[t].resize(16);
    for (int i = 0; i < 16; ++i) keys[t][i] = uint8_t(seed + 16 * t + i);
  }
  return keys;
}

void StoreInDatabase(uint32_t number, uint32_t time, const std::array<Bytes, 4>& k) {
  CKeysetDatasource db(keydb_test::DataSource(Sqlite).c_str(), L"", L"");
  const uint8_t quarel[8] = {};
  ASSERT_TRUE(db.StoreKeyset(number, time, k[0].data(), k[1].data(), k[2].data(), k[3].data(), quarel));
}

struct BriselTest : ::testing::Test {
  void SetUp() override {
    keydb_test::CreateDatabase(Sqlite);
    ASSERT_EQ(RunBrisel("-RegServer"), 0);
    ServiceWorld::Get().ServeKeyDatabase(true);
    CoInitialize();
  }
  void TearDown() override {
    crypto.Reset();
    CoUninitialize();
    ServiceWorld::Get().EndService();
  }
  ComPtr<IZarnCrypto> Create() {
    ComPtr<IZarnCrypto> c;
    EXPECT_EQ(CoCreateInstance(CLSID_ZarnCrypto, nullptr, CLSCTX_LOCAL_SERVER, IID_IZarnCrypto, c.PutVoid()), S_OK);
    return c;
  }
  ComPtr<IZarnCrypto> crypto;
};

}  // namespace

TEST(BriselRegistration, RegisterAndUnregisterWithoutWindowOrPort) {
  ASSERT_EQ(RunBrisel("-RegServer"), 0);
  platform::Registry r(HKEY_CLASSES_ROOT);
  std::string clsid = "\\CLSID\\" + CLSID_ZarnCrypto.ToString();
  ASSERT_TRUE(r.OpenKeyReadOnly(clsid));
  EXPECT_EQ(r.ReadString(""), "ZarnCrypto Class");
  EXPECT_EQ(r.ReadString("AppID"), APPID_Brisel.ToString());
  ASSERT_TRUE(r.OpenKeyReadOnly(clsid + "\\LocalServer32"));
  EXPECT_EQ(r.ReadString(""), std::string(BRISEL_PATH));
  EXPECT_TRUE(r.KeyExists(clsid + "\\Programmable"));
  ASSERT_TRUE(r.OpenKeyReadOnly("\\Brisel.ZarnCrypto\\CurVer"));
  EXPECT_EQ(r.ReadString(""), "Brisel.ZarnCrypto.1");
  ASSERT_TRUE(r.OpenKeyReadOnly("\\AppID\\Brisel.EXE"));
  EXPECT_EQ(r.ReadString("AppID"), APPID_Brisel.ToString());
  EXPECT_TRUE(r.KeyExists("\\TypeLib\\" + LIBID_BriselLib.ToString() + "\\1.0"));
  std::ifstream service(ServiceWorld::Get().ServiceDirectory() + "/" + BriselBusName + ".service");
  std::string text((std::istreambuf_iterator<char>(service)), {});
  EXPECT_NE(text.find("Exec=\"" + std::string(BRISEL_PATH) + "\" -Embedding"), std::string::npos);
  EXPECT_TRUE(ServiceWorld::Get().Tokens().Token(30)->Requests().empty());  // no port was opened
  EXPECT_FALSE(QDBusConnection::sessionBus().interface()->isServiceRegistered(BriselBusName));

  ASSERT_EQ(RunBrisel("/unregserver"), 0);
  EXPECT_FALSE(r.KeyExists(clsid));
  EXPECT_FALSE(r.KeyExists("\\Brisel.ZarnCrypto"));
  EXPECT_TRUE(r.KeyExists("\\CLSID"));
  EXPECT_FALSE(fs::exists(ServiceWorld::Get().ServiceDirectory() + "/" + BriselBusName + ".service"));
}

TEST(BriselCommandLine, PlainArgumentsAreTheDataSourceUserAndPassword) {
  struct Case {
    std::vector<std::string> args;
    bool set;
    std::wstring dsn, user, password;
  } cases[] = {
      {{"brisel", "Keys", "op", "secret"}, true, L"Keys", L"op", L"secret"},
      {{"brisel", "Keys", "op", "secret", "ignored"}, true, L"Keys", L"op", L"secret"},
      {{"brisel", "Keys"}, true, L"Keys", L"", L""},
      {{"brisel", "-Embedding"}, false, L"", L"", L""},
      {{"brisel", "/EMBEDDING", "Keys"}, true, L"Keys", L"", L""},
      // A switch word inside an argument is no switch: this password does not register.
      {{"brisel", "Keys", "op", "pw-RegServer"}, true, L"Keys", L"op", L"pw-RegServer"},
  };
  for (auto& c : cases) {
    CBriselModule module;
    HRESULT hr;
    ASSERT_TRUE(module.ParseCommandLine(c.args, hr)) << c.args.back();
    EXPECT_EQ(module.Database().set, c.set);
    EXPECT_EQ(module.Database().dataSource, c.dsn);
    EXPECT_EQ(module.Database().user, c.user);
    EXPECT_EQ(module.Database().password, c.password);
  }
}

TEST_F(BriselTest, ActivatedServiceComputesWithTheKeyDatabase) {
  const uint32_t number = 4711u << 8 | 1, time = 300000000;
  auto keys = Keys(0x00);
  keys[3] = Hex("000102030405060708090a0b0c0d0e0f");  // the standard AES-128 example key
  StoreInDatabase(number, time, keys);
  crypto = Create();
  ASSERT_TRUE(crypto);

  Bstr block = B(Hex("00112233445566778899aabbccddeeff"));
  ASSERT_EQ(crypto->Encrypt(int32_t(number), int32_t(time), int32_t(3 | KeysetKeyAes), &block, 1), S_OK);
  EXPECT_EQ(Of(block), Hex("69c4e0d86a7b0430d8cdb78070b4c55a"));
  ASSERT_EQ(crypto->Decrypt(int32_t(number), int32_t(time), int32_t(3 | KeysetKeyAes), &block, 1), S_OK);
  EXPECT_EQ(Of(block), Hex("00112233445566778899aabbccddeeff"));

  // 8-byte blocks: two-key triple DES under the key's K1|K2.
  Bytes plain = Hex("0123456789abcdef00000000000000ff");
  Bstr two = B(plain);
  ASSERT_EQ(crypto->Encrypt(int32_t(number), int32_t(time), 1, &two, 2), S_OK);
  EXPECT_EQ(Of(two), Ecb(EVP_des_ede_ecb(), keys[1], plain));

  // The MAC: DES-CBC under the fixed key, from the caller's start value.
  Bytes data = Hex("00ff7f8000c0c17d0102030405060708");
  Bstr start = B(Hex("1122334455667788"));
  Bstr dataString = B(data);
  ASSERT_EQ(crypto->Hash(&dataString, 2, &start), S_OK);
  Bytes h = Hex("1122334455667788"), desKey(HashKeyBytes, HashKeyBytes + 8);
  desKey.insert(desKey.end(), HashKeyBytes, HashKeyBytes + 8);
  desKey.insert(desKey.end(), HashKeyBytes, HashKeyBytes + 8);
  for (int i = 0; i < 2; ++i) {
    for (int k = 0; k < 8; ++k) h[k] ^= data[8 * i + k];
    h = Ecb(EVP_des_ede3_ecb(), desKey, h);
  }
  EXPECT_EQ(Of(start), h);

  // A new key-set goes into the database.
  auto fresh = Keys(0x40);
  ASSERT_EQ(crypto->Store(int32_t(4712u << 8), 5, B(fresh[0]), B(fresh[1]), B(fresh[2]), B(fresh[3]), B(Bytes(8, 9))),
            S_OK);
  keydb_test::RawConnection raw(Sqlite);
  EXPECT_EQ(raw.Value("SELECT COUNT(*) FROM \"Seals\" WHERE \"SerialNumber\" = 4712"), "1");

  // The service outlives its last client.
  crypto.Reset();
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_TRUE(QDBusConnection::sessionBus().interface()->isServiceRegistered(BriselBusName));
}

TEST_F(BriselTest, CacheZeroKeysetAndEmptyCalls) {
  const uint32_t number = 4711u << 8 | 2, time = 77;
  auto keys = Keys(0x10);
  StoreInDatabase(number, time, keys);
  crypto = Create();
  ASSERT_TRUE(crypto);
  Bstr block = B(Bytes(16, 0x5A));
  ASSERT_EQ(crypto->Encrypt(int32_t(number), int32_t(time), int32_t(0 | KeysetKeyAes), &block, 1), S_OK);
  keydb_test::RawConnection raw(Sqlite);
  raw.Exec("DELETE FROM \"Keys\"");
  // The same key-set in the same mode: the cached keys compute, no database needed.
  block = B(Bytes(16, 0x5A));
  EXPECT_EQ(crypto->Encrypt(int32_t(number), int32_t(time), int32_t(0 | KeysetKeyAes), &block, 1), S_OK);
  EXPECT_EQ(Of(block), Ecb(EVP_aes_128_ecb(), keys[0], Bytes(16, 0x5A)));
  // The other mode loads again: the row is gone.
  Bstr eight = B(Bytes(8, 1));
  EXPECT_EQ(crypto->Encrypt(int32_t(number), int32_t(time), 0, &eight, 1), E_FAIL);

  // The zero key-set: zero keys, whatever the time; and the cache is emptied.
  Bstr zero = B(Bytes(16, 0x33));
  ASSERT_EQ(crypto->Encrypt(0, 12345, int32_t(2 | KeysetKeyAes), &zero, 1), S_OK);
  EXPECT_EQ(Of(zero), Ecb(EVP_aes_128_ecb(), Bytes(16, 0), Bytes(16, 0x33)));

  // Count 0 still selects the key-set: an unknown one fails, a known one leaves the data.
  Bstr untouched = B(Bytes(16, 7));
  EXPECT_EQ(crypto->Encrypt(int32_t(number), int32_t(time), int32_t(KeysetKeyAes), &untouched, 0), E_FAIL);
  EXPECT_EQ(crypto->Encrypt(0, 0, int32_t(KeysetKeyAes), &untouched, 0), S_OK);
  EXPECT_EQ(Of(untouched), Bytes(16, 7));
  Bstr start = B(Bytes(8, 4));
  EXPECT_EQ(crypto->Hash(&untouched, 0, &start), S_OK);
  EXPECT_EQ(Of(start), Bytes(8, 4));
}

TEST_F(BriselTest, ByteStringsShorterThanTheCallAreRefused) {
  crypto = Create();
  ASSERT_TRUE(crypto);
  Bstr shortData = B(Bytes(15, 0)), hash = B(Bytes(8, 0)), shortHash = B(Bytes(7, 0));
  EXPECT_EQ(crypto->Encrypt(0, 0, int32_t(KeysetKeyAes), &shortData, 1), E_FAIL);
  EXPECT_EQ(crypto->Encrypt(0, 0, 0, &shortData, 2), E_FAIL);
  EXPECT_EQ(crypto->Encrypt(0, 0, 0, &shortData, -1), E_FAIL);
  EXPECT_EQ(crypto->Hash(&shortData, 2, &hash), E_FAIL);
  EXPECT_EQ(crypto->Hash(&shortData, 1, &shortHash), E_FAIL);
  EXPECT_EQ(crypto->Store(1 << 8, 0, B(Bytes(16)), B(Bytes(16)), B(Bytes(16)), B(Bytes(15)), B(Bytes(8))), E_FAIL);
  Bstr eight = B(Bytes(8, 0));
  EXPECT_EQ(crypto->Encrypt(0, 0, 4, &eight, 1), E_FAIL);  // no key type 4
}

TEST_F(BriselTest, ATokenThatHoldsTheKeysetComputesUntilUnplugged) {
  const uint32_t number = 99u << 8 | 3, time = 1234;
  auto keys = Keys(0x20);
  auto& token = *ServiceWorld::Get().Tokens().Token(30);
  sim::SimKeyset keyset{number, time, 0x0F, {}};
  for (int t = 0; t < 4; ++t) std::copy(keys[t].begin(), keys[t].end(), keyset.keys[t].begin());
  token.SetKeysets({keyset});
  crypto = Create();
  ASSERT_TRUE(crypto);
  // The scan finds it within a pass or two.
  Bstr block;
  HRESULT hr = E_FAIL;
  for (int i = 0; i < 100 && hr != S_OK; ++i) {
    block = B(Bytes(16, 0x42));
    hr = crypto->Encrypt(int32_t(number), int32_t(time), int32_t(2 | KeysetKeyAes), &block, 1);
    if (hr != S_OK) std::this_thread::sleep_for(milliseconds(50));
  }
  ASSERT_EQ(hr, S_OK);
  EXPECT_EQ(Of(block), Ecb(EVP_aes_128_ecb(), keys[2], Bytes(16, 0x42)));
  Bstr des = B(Bytes(16, 0x42));
  ASSERT_EQ(crypto->Decrypt(int32_t(number), int32_t(time), 1, &des, 2), S_OK);
  EXPECT_EQ(Of(des), Ecb(EVP_des_ede_ecb(), keys[1], Bytes(16, 0x42), false));
  // A block the token refuses (its error bit) fails the call.
  sim::TokenFaultSpec refusal(sim::TokenFault::ErrorBit);
  refusal.command = 6 + 2 * 1;
  token.InjectFault(refusal);
  const size_t answered = token.Answered();
  des = B(Bytes(16, 0x42));
  EXPECT_EQ(crypto->Decrypt(int32_t(number), int32_t(time), 1, &des, 2), E_FAIL);
  EXPECT_GT(token.Answered(), answered);
  bool selected = false, encrypted = false, decrypted = false;
  for (auto& r : token.Requests()) {
    selected = selected || r.command == 5;
    encrypted = encrypted || r.command == 7 + 2 * 2;
    decrypted = decrypted || r.command == 6 + 2 * 1;
  }
  EXPECT_TRUE(selected && encrypted && decrypted);

  ServiceWorld::Get().Tokens().Unplug(30);
  for (int i = 0; i < 100 && hr == S_OK; ++i) {
    std::this_thread::sleep_for(milliseconds(50));
    block = B(Bytes(16, 0x42));
    hr = crypto->Encrypt(int32_t(number), int32_t(time), int32_t(2 | KeysetKeyAes), &block, 1);
  }
  EXPECT_EQ(hr, E_FAIL);  // gone, and the database has no such key-set
}

TEST_F(BriselTest, ASecondServiceEndsWithoutOpeningPorts) {
  crypto = Create();  // the first one runs
  ASSERT_TRUE(crypto);
  // A port map that only the second service reads: the first, started by the bus, keeps
  // its own, so a Ping on this token can only come from the second.
  sim::TokenRack secondsOwn;
  sim::TokenSimulator& token = secondsOwn.Plug(31, 556);
  FILE* second = ::popen(BRISEL_PATH " Other 2>&1", "r");
  ASSERT_TRUE(second);
  char line[256] = {};
  std::string output;
  while (std::fgets(line, sizeof line, second)) output += line;
  const int status = ::pclose(second);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status) << ": " << output;
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(output.find("brisel: cannot start (0x80070420)\n"), std::string::npos) << output;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a request on its way
  EXPECT_TRUE(token.Requests().empty());
}

int main(int argc, char** argv) {
  ServiceWorld world;
  world.Tokens().Plug(30, 555);
  QCoreApplication app(argc, argv);
  platform::dbus::RegisterInterface(ZarnCryptoInterfaceInfo(), MakeZarnCryptoProxy);
  ::testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();
  world.EndService();
  return result;
}
