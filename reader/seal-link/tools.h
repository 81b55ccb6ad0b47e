#pragma once
// Seal time, the text forms shared by the seal link, the seal data file and the
// reader, and the error codes of every seal operation with their texts.

#include <cstddef>
#include <cstdint>
#include <string>

#include "date_time.h"

using platform::EConvertError;
using platform::TDateTime;

// 0 is success; every failure of a seal operation is one of the codes below.
using SealErrorCode = int32_t;
// The reason a seal gives when it refuses a command; 0 is none.
using SealRefusalReason = int16_t;

namespace SealError {
inline constexpr SealErrorCode Success = 0;
inline constexpr SealErrorCode OpenComport = 100001;
inline constexpr SealErrorCode SetupComport = 100002;
inline constexpr SealErrorCode GetComportState = 100003;
inline constexpr SealErrorCode SetComportState = 100004;
inline constexpr SealErrorCode SetComportTimeouts = 100005;
inline constexpr SealErrorCode CloseComport = 100006;
inline constexpr SealErrorCode ReceiveError = 100007;
inline constexpr SealErrorCode TransmitError = 100008;
inline constexpr SealErrorCode CrcError = 100009;
inline constexpr SealErrorCode ReceiveTimeout = 100010;
inline constexpr SealErrorCode TransmitTimeout = 100011;
inline constexpr SealErrorCode FramingError = 100012;
inline constexpr SealErrorCode WrongSender = 100013;
inline constexpr SealErrorCode WrongReceiver = 100014;
inline constexpr SealErrorCode ProtocolViolation = 100015;
inline constexpr SealErrorCode AccessDenied = 100016;
inline constexpr SealErrorCode AuthenticationFailed = 100017;
inline constexpr SealErrorCode KeysetMissing = 100018;
inline constexpr SealErrorCode SocketError = 100019;
inline constexpr SealErrorCode ConnectionLost = 100020;
inline constexpr SealErrorCode PurgeFailed = 100021;
inline constexpr SealErrorCode XmlDocumentError = 100023;
inline constexpr SealErrorCode InvalidSize = 100024;
inline constexpr SealErrorCode FrameOverflow = 100026;
inline constexpr SealErrorCode LogoffAllFailed = 100027;
inline constexpr SealErrorCode CryptoTokenError = 100028;
}  // namespace SealError

// The seal's clock: low 16 bits whole half-days since SealEpoch, high 16 bits 43200
// minus the seconds into that half-day; 0 is no time.
using TSealTime = uint32_t;

inline constexpr uint32_t SecondsPerHalfDay = 43200;

// 2000-01-01 00:00:00 in local time (the framework's day count of that date).
inline constexpr TDateTime SealEpoch = 36526.0;

inline constexpr TSealTime MakeSealTime(uint16_t low, uint16_t high) { return uint32_t(high) << 16 | low; }
inline constexpr uint16_t SealTimeLow(TSealTime t) { return uint16_t(t); }
inline constexpr uint16_t SealTimeHigh(TSealTime t) { return uint16_t(t >> 16); }
// Seconds since SealEpoch, in unsigned 32-bit arithmetic as the seal counts them.
inline constexpr uint32_t SealTimeSeconds(TSealTime t) {
  return uint32_t(SealTimeLow(t)) * SecondsPerHalfDay + SecondsPerHalfDay - SealTimeHigh(t);
}

// A date-time before SealEpoch or past the last half-day a seal can count gives the
// null time: there is no right seal time for it.
TSealTime DateTimeToSealTime(TDateTime t);
TDateTime SealTimeToDateTime(TSealTime t);
bool IsNullSealTime(TSealTime t);
// Empty date or time text gives the null time; text that does not parse raises EConvertError.
TSealTime TextToSealTime(const std::string& date, const std::string& time);
std::string SealTimeToDateText(TSealTime t);
std::string SealTimeToTimeText(TSealTime t);

std::string KeysetNumberToText(uint32_t number);
// Raises EConvertError for text that is no key-set number.
uint32_t TextToKeysetNumber(const std::string& text);

std::string BytesToHex(const uint8_t* data, size_t count);
size_t HexToBytes(const std::string& text, uint8_t* buffer, size_t size);
std::string IntToDecimal(int32_t value);
std::string VersionToText(uint8_t major, uint8_t minor);
std::string SignedByteToText(uint8_t value);
std::string TenthsToText(uint8_t value);
std::string TenthsToTextB(uint8_t value);
std::string RoundThousandsToText(uint32_t value);
std::string BatteryIdToText(const uint8_t id[8]);
std::string FixedText8(const uint8_t field[8]);
std::string FixedText16(const uint8_t field[16]);
std::string MonthYearToText(uint16_t value);

std::string SealWireToText(uint8_t status);
std::string HousingToText(uint8_t status);
std::string ProtectionToText(uint8_t status);
std::string ExtPowerToText(uint8_t status);
std::string YesNoText(uint8_t value);

std::string ErrorText(SealErrorCode code);
std::string ReasonText(SealRefusalReason reason);
std::string ErrorMessage(SealErrorCode code, SealRefusalReason reason);
