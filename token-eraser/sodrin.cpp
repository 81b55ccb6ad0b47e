// The token eraser: erases every key-set of the crypto token on the COM port given on
// the command line, and says in one line whether it worked. The exit code is always 0.

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "token.h"

namespace {

constexpr unsigned EraseTimeout = 3000;

// The decimal number at the start of the text, as the 32-bit C runtime's _wtoi reads it:
// a number out of range saturates instead of wrapping onto a real port number.
unsigned PortNumber(const wchar_t* text) {
  long long value = std::wcstoll(text, nullptr, 10);
  value = std::clamp<long long>(value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
  return unsigned(int(value));
}

bool Erase(unsigned port) {
  std::unique_ptr<CToken> token;
  try {
    token = std::make_unique<CToken>(port);
  } catch (...) {
    return false;
  }
  token->Port().SetTimeouts(EraseTimeout);
  std::printf(" Erasing crypto token...");
  std::fflush(stdout);  // shown before the wait for the token
  TokenStatus status = 0;
  if (token->EraseAll(&status) && !(status & TokenError)) {
    std::printf("Done!\n");
    return true;
  }
  std::printf("Failed!");
  return false;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && Erase(PortNumber(argv[1]))) return 0;
  std::printf(" Error!\n");
  std::printf(" Usage: sodrin [virtual COM-port number]");
  return 0;
}

int main(int argc, char** argv) {
  std::setlocale(LC_CTYPE, "");
  std::vector<std::wstring> wide;
  for (int i = 0; i < argc; ++i) {
    size_t n = std::mbstowcs(nullptr, argv[i], 0);
    std::wstring w(n == size_t(-1) ? 0 : n, L'\0');
    if (n != size_t(-1)) std::mbstowcs(w.data(), argv[i], n + 1);
    wide.push_back(std::move(w));
  }
  std::vector<wchar_t*> args;
  for (auto& w : wide) args.push_back(w.data());
  args.push_back(nullptr);
  return wmain(argc, args.data());
}
