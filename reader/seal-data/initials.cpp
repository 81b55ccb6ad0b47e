#include "initials.h"

uint16_t InitialsToUserId(std::string_view initials) {
  uint32_t id = 0;
  for (char c : initials) {
    uint32_t digit = c >= 'A' && c <= 'Z' ? uint32_t(c - 64) : 0;
    id = (id * 27 + digit) % 65536;
  }
  return uint16_t(id);
}

std::string UserIdToInitials(uint16_t id) {
  std::string text;
  for (uint32_t rest = id; rest != 0; rest /= 27) {
    uint32_t digit = rest % 27;
    text.insert(text.begin(), digit ? char(64 + digit) : ' ');
  }
  return text;
}
