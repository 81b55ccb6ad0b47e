#pragma once
// One connection to the key database: the seals' key-sets, the seals requested by facility
// and operating division, and a row of settings per crypto token. Any ODBC data source
// with the shipped schema's tables will do; the embedded default is an SQLite file.
//
// Every value goes into a statement as a bound parameter, never as pasted text. Keys and
// token secrets are stored as upper-case hexadecimal text.

#include <cstddef>
#include <cstdint>

#include "hex_text.h"
#include "query_callback.h"

// An ODBC handle. ODBC's own headers stay out of here: they define Windows type names
// (BOOL, DWORD, GUID...) that clash with the rest of the system.
using OdbcHandle = void*;

// Shows each diagnostic record of the statement in its own "ODBC Error" box; a statement
// without records shows none.
void ReportOdbcError(OdbcHandle statement);

class CKeysetDatasource {
 public:
  // Connects to the data source (a DSN) as that user. Throws the int -1, and shows
  // nothing, when there is no data source name or the connection cannot be made.
  CKeysetDatasource(const wchar_t* dataSource, const wchar_t* user, const wchar_t* password);
  ~CKeysetDatasource();
  CKeysetDatasource(const CKeysetDatasource&) = delete;
  CKeysetDatasource& operator=(const CKeysetDatasource&) = delete;

  // Adds the seal's row (serial number = key-set number >> 8) when it has none. Keys are
  // 16 bytes each, the Quarel key 8.
  bool StoreKeyset(uint32_t keysetNumber, uint32_t keysetTime, const uint8_t* authentication,
                   const uint8_t* authorization, const uint8_t* identification, const uint8_t* encryption,
                   const uint8_t* quarel);
  // The key-set of that number stored with that time to the second.
  bool LoadKeyset(uint32_t keysetNumber, uint32_t keysetTime, uint8_t* authentication, uint8_t* authorization,
                  uint8_t* identification, uint8_t* encryption);
  bool LoadKeysetById(int keyId, uint32_t& keysetNumber, uint32_t& keysetTime, uint8_t* authentication,
                      uint8_t* authorization, uint8_t* identification, uint8_t* encryption);

  // Row queries. Rows with a NULL id are passed over; a NULL text is the empty text.
  bool QueryDivisions(CQueryCallback& callback);
  bool QueryFacilities(CQueryCallback& callback, int opDivId);
  // The seals whose latest request names the division (byDivision) or the facility.
  bool QueryRequestedSeals(CQueryCallback& callback, int opDivId, int facilityId, bool byDivision);
  bool QuerySeals(CQueryCallback& callback);
  // Each seal's key-sets, newest first, named as the token names them; a false from the
  // callback ends the rows of the current seal only.
  bool QueryKeysets(CQueryCallback& callback, const int* sealIds, int count, bool newestOnly);
  bool GetSerialNumber(uint32_t& serialNumber, int sealId);

  // A row with the serial number only; true too when the token already has its row.
  bool InsertToken(uint32_t serialNumber);
  // passphraseBytes is the size of the caller's passphrase buffer in bytes; a longer
  // passphrase is cut to fit. bsl receives 32 bytes, key and mac 16 each (zeros unless the
  // stored value has exactly 32 digits).
  bool LoadToken(uint32_t serialNumber, wchar_t* passphrase, size_t passphraseBytes, uint8_t* bsl,
                 uint8_t* key, uint8_t* mac);
  // Updates of a token without a row change nothing and succeed.
  bool UpdatePassphrase(uint32_t serialNumber, const wchar_t* passphrase);
  bool UpdateBsl(uint32_t serialNumber, const uint8_t* bsl);
  bool UpdateFirmwareKey(uint32_t serialNumber, const uint8_t* key, const uint8_t* mac);

 private:
  OdbcHandle environment_ = nullptr;
  OdbcHandle connection_ = nullptr;
  wchar_t quote_ = L'"';  // the data source's identifier quote, 0 when it has none
};
