#include "tools.h"

#include <cmath>
#include <cstdio>

namespace {

constexpr int64_t SealEpochDays = 10957;  // 1970-01-01 to 2000-01-01
constexpr uint32_t LastSealSecond = 65535u * SecondsPerHalfDay + SecondsPerHalfDay - 1;

std::string Format(const char* format, auto... args) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, args...);
  return buffer;
}

// Decimal digits only; anything else is no integer.
bool ParseDecimal(const std::string& text, uint64_t& value) {
  if (text.empty() || text.size() > 10) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + uint64_t(c - '0');
  }
  return true;
}

[[noreturn]] void NotAnInteger(const std::string& text) {
  throw EConvertError("'" + text + "' is not a valid integer value");
}

std::string FixedText(const uint8_t* field, size_t size) {
  size_t n = 0;
  while (n < size && field[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(field), n);
}

}  // namespace

TSealTime DateTimeToSealTime(TDateTime t) {
  double seconds = std::nearbyint((t - SealEpoch) * 86400.0);  // ties to even
  if (!(seconds >= 0 && seconds <= LastSealSecond)) return 0;
  uint32_t s = uint32_t(seconds);
  return MakeSealTime(uint16_t(s / SecondsPerHalfDay), uint16_t(SecondsPerHalfDay - s % SecondsPerHalfDay));
}

TDateTime SealTimeToDateTime(TSealTime t) { return SealEpoch + SealTimeSeconds(t) / 86400.0; }

bool IsNullSealTime(TSealTime t) { return t == 0; }

TSealTime TextToSealTime(const std::string& date, const std::string& time) {
  if (date.empty() || time.empty()) return 0;
  return DateTimeToSealTime(platform::StrToDate(date) + platform::StrToTime(time));
}

std::string SealTimeToDateText(TSealTime t) {
  if (IsNullSealTime(t)) return {};
  auto d = platform::CivilFromDays(SealEpochDays + SealTimeSeconds(t) / 86400);
  return Format("%.4d-%.2d-%.2d", d.year, d.month, d.day);
}

std::string SealTimeToTimeText(TSealTime t) {
  if (IsNullSealTime(t)) return {};
  uint32_t s = SealTimeSeconds(t) % 86400;
  return Format("%.2u:%.2u:%.2u", s / 3600, s / 60 % 60, s % 60);
}

std::string KeysetNumberToText(uint32_t number) {
  if (number == 0) return {};
  return Format("%.5d-%d", int(number >> 8), int(number & 0xFF));
}

uint32_t TextToKeysetNumber(const std::string& text) {
  if (text.empty()) return 0;
  auto minus = text.find('-');
  if (minus == std::string::npos) NotAnInteger(text);
  uint64_t serial, index;
  std::string serialText = text.substr(0, minus), indexText = text.substr(minus + 1, 3);
  if (!ParseDecimal(serialText, serial)) NotAnInteger(serialText);
  if (!ParseDecimal(indexText, index)) NotAnInteger(indexText);
  // A part out of its field would spill into the other one.
  if (serial > 0xFFFFFF || index > 0xFF) throw EConvertError("'" + text + "' is not a valid key-set number");
  return uint32_t(serial << 8 | index);
}

std::string BytesToHex(const uint8_t* data, size_t count) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string text(count * 2, '0');
  for (size_t i = 0; i < count; ++i) {
    text[2 * i] = digits[data[i] >> 4];
    text[2 * i + 1] = digits[data[i] & 0xF];
  }
  return text;
}

size_t HexToBytes(const std::string& text, uint8_t* buffer, size_t size) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  size_t count = std::min(text.size() / 2, size);
  for (size_t i = 0; i < count; ++i) {
    int hi = nibble(text[2 * i]), lo = nibble(text[2 * i + 1]);
    buffer[i] = hi < 0 || lo < 0 ? 0 : uint8_t(hi << 4 | lo);
  }
  return count;
}

std::string IntToDecimal(int32_t value) { return Format("%d", value); }

std::string VersionToText(uint8_t major, uint8_t minor) { return Format("%d.%.2d", major, minor); }

std::string SignedByteToText(uint8_t value) { return Format("%d", int(int8_t(value))); }

std::string TenthsToText(uint8_t value) { return Format("%d.%d", value / 10, value % 10); }

std::string TenthsToTextB(uint8_t value) { return TenthsToText(value); }

std::string RoundThousandsToText(uint32_t value) {
  return Format("%llu", (static_cast<unsigned long long>(value) + 500) / 1000);
}

std::string BatteryIdToText(const uint8_t id[8]) {
  std::string hex = BytesToHex(id, 8);
  return hex.substr(0, 4) + ' ' + hex.substr(4, 4) + ' ' + hex.substr(8, 4) + ' ' + hex.substr(12, 4);
}

std::string FixedText8(const uint8_t field[8]) { return FixedText(field, 8); }

std::string FixedText16(const uint8_t field[16]) { return FixedText(field, 16); }

std::string MonthYearToText(uint16_t value) {
  int month = value / 100, yy = value % 100;
  if (month == 0 || month > 12) return {};
  return Format("%.4d-%.2d", yy < 70 ? 2000 + yy : 1900 + yy, month);
}

std::string SealWireToText(uint8_t status) { return status & 0x01 ? "open" : "closed"; }

std::string HousingToText(uint8_t status) { return status & 0x04 ? "open" : "closed"; }

std::string ProtectionToText(uint8_t status) {
  if (status & 0x08) return "short circuit";
  if (status & 0x10) return "broken";
  return "safe";
}

std::string ExtPowerToText(uint8_t status) { return status & 0x80 ? "yes" : "no"; }

std::string YesNoText(uint8_t value) { return value ? "yes" : "no"; }

std::string ErrorText(SealErrorCode code) {
  switch (code) {
    case SealError::OpenComport: return "Open comport failed.";
    case SealError::SetupComport: return "Set up comport failed.";
    case SealError::GetComportState: return "Get comport state failed.";
    case SealError::SetComportState: return "Get comport state failed.";
    case SealError::SetComportTimeouts: return "Get comport timeout failed.";
    case SealError::CloseComport: return "Close comport failed.";
    case SealError::ReceiveError: return "Receive error.";
    case SealError::TransmitError: return "Transmit error.";
    case SealError::CrcError: return "CRC error.";
    case SealError::ReceiveTimeout: return "Receive timeout.";
    case SealError::TransmitTimeout: return "Transmit timeout.";
    case SealError::FramingError: return "Framing error, invalid size.";
    case SealError::WrongSender: return "Addressing error, wrong sender.";
    case SealError::WrongReceiver: return "Addressing error, wrong receiver.";
    case SealError::ProtocolViolation: return "Protocol violation.";
    case SealError::AccessDenied: return "Access denied.";
    case SealError::AuthenticationFailed: return "Authentication failed.";
    case SealError::KeysetMissing: return "Key-set is missing.";
    case SealError::SocketError: return "Socket error.";
    case SealError::ConnectionLost: return "Connection lost.";
    case SealError::PurgeFailed: return "Purge operation failed.";
    case SealError::XmlDocumentError: return "XML document error.";
    case SealError::InvalidSize: return "Invalid size.";
    case SealError::CryptoTokenError: return "Crypto token error.";
    default: return {};
  }
}

std::string ReasonText(SealRefusalReason reason) {
  switch (reason) {
    case 1: return "Authorization failed.";
    case 3: return "Invalid page number.";
    case 4: return "Invalid command.";
    case 5: return "EEPROM read error.";
    case 6: return "EEPROM write error.";
    case 1901: return "Invalid date or time.";
    default: return {};
  }
}

std::string ErrorMessage(SealErrorCode code, SealRefusalReason reason) {
  std::string message = ErrorText(code);
  if (code == SealError::AccessDenied && reason != 0) message += ' ' + ReasonText(reason);
  return message;
}
