// Runs simulated crypto tokens for trying the system by hand or from a script.
// It prints the port map file to point ZARN_PORT_MAP at, then reads commands from stdin:
//   plug COM [SERIAL]          a token on COM (again, if it was there before)
//   unplug COM                 pull it out
//   silent COM                 a port where nothing answers
//   keyset COM NUMBER TIME [FLAGS-HEX [KEYS-HEX]]   add a key-set (KEYS: 4 x 16 bytes)
//   lock COM KEY-HEX VERIFIER-HEX SALT-HEX          set the password, locked
//   firmware COM KEY-HEX [DELAY-MS]                 the key and delay of command 18
//   show COM                   the token's state
//   quit
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "token_sim.h"

namespace {

template <size_t N>
bool ParseHex(const std::string& text, std::array<uint8_t, N>& out) {
  if (text.size() != 2 * N) return false;
  for (size_t i = 0; i < N; ++i) {
    unsigned v;
    if (std::sscanf(text.c_str() + 2 * i, "%2x", &v) != 1) return false;
    out[i] = uint8_t(v);
  }
  return true;
}

}  // namespace

int main() {
  sim::TokenRack rack;
  std::cout << "map " << rack.MapFile() << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string word;
    unsigned port = 0;
    if (!(in >> word) || word[0] == '#') continue;
    if (word == "quit") break;
    if (!(in >> port)) {
      std::cout << "error: no port" << std::endl;
      continue;
    }
    sim::TokenSimulator* token = rack.Token(port);
    bool ok = true;
    if (word == "plug") {
      uint32_t serial = sim::DefaultTokenSerial;
      in >> serial;
      token = &rack.Plug(port, serial);
      std::cout << "COM" << port << ' ' << token->Path() << std::endl;
      continue;
    } else if (word == "unplug") {
      rack.Unplug(port);
    } else if (word == "silent") {
      std::cout << "COM" << port << ' ' << rack.PlugSilent(port).Path() << std::endl;
      continue;
    } else if (!token) {
      ok = false;
    } else if (word == "keyset") {
      sim::SimKeyset k;
      std::string flags, keys;
      ok = bool(in >> k.number >> k.time);
      if (in >> flags) k.flags = uint8_t(std::stoul(flags, nullptr, 16));
      if (ok && in >> keys) {
        std::array<uint8_t, 64> all;
        ok = ParseHex(keys, all);
        for (size_t i = 0; i < 64; ++i) k.keys[i / 16][i % 16] = all[i];
      }
      if (ok) token->AddKeyset(k);
    } else if (word == "lock") {
      std::string a, b, c;
      sim::Key16 key, verifier;
      sim::Salt8 salt;
      ok = bool(in >> a >> b >> c) && ParseHex(a, key) && ParseHex(b, verifier) && ParseHex(c, salt);
      if (ok) token->SetPassword(key, verifier, salt);
    } else if (word == "firmware") {
      std::string a;
      unsigned delay = 0;
      sim::Key16 key;
      ok = bool(in >> a) && ParseHex(a, key);
      in >> delay;
      if (ok) {
        token->SetFirmwareKey(key);
        token->SetFirmwareDelay(std::chrono::milliseconds(delay));
      }
    } else if (word == "show") {
      std::cout << "COM" << port << " serial " << token->Serial() << (token->Plugged() ? " plugged" : " unplugged")
                << (token->Locked() ? " locked" : "") << " keysets " << token->Keysets().size() << std::endl;
      continue;
    } else {
      ok = false;
    }
    std::cout << (ok ? "ok" : "error") << std::endl;
  }
  return 0;
}
