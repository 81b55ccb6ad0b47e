#pragma once
// The crypto service's published interface: what its clients and its server share.

#include "com.h"

inline constexpr GUID APPID_Brisel = MakeGuid("{3F8A2C61-7D4E-4B9A-8E21-5C0B9D7A4E10}");
inline constexpr CLSID CLSID_ZarnCrypto = MakeGuid("{3F8A2C61-7D4E-4B9A-8E21-5C0B9D7A4E11}");
inline constexpr IID IID_IZarnCrypto = MakeGuid("{3F8A2C61-7D4E-4B9A-8E21-5C0B9D7A4E12}");
inline constexpr GUID LIBID_BriselLib = MakeGuid("{3F8A2C61-7D4E-4B9A-8E21-5C0B9D7A4E13}");

// The session-bus name the service owns while it runs.
inline constexpr const char* BriselBusName = "org.zarn.Brisel";

// KeysetKey: the key type in bits 0-30; bit 31 asks for 16-byte blocks (AES-128).
inline constexpr uint32_t KeysetKeyAes = 0x80000000u;

class IZarnCrypto : public IDispatch {
 public:
  // Byte strings carry raw bytes; in-out ones come back with their length unchanged.
  virtual HRESULT Hash(Bstr* pData, int32_t Count, Bstr* pHash) = 0;
  virtual HRESULT Encrypt(int32_t KeysetNumber, int32_t KeysetTime, int32_t KeysetKey, Bstr* pData, int32_t Count) = 0;
  virtual HRESULT Decrypt(int32_t KeysetNumber, int32_t KeysetTime, int32_t KeysetKey, Bstr* pData, int32_t Count) = 0;
  virtual HRESULT Store(int32_t KeysetNumber, int32_t KeysetTime, const Bstr& AuthenticationKey,
                        const Bstr& AuthorizationKey, const Bstr& IdentificationKey, const Bstr& EncryptionKey,
                        const Bstr& QuarelKey) = 0;
};

const InterfaceInfo& ZarnCryptoInterfaceInfo();
const CoClassInfo& ZarnCryptoClassInfo();
const TypeLibInfo& BriselTypeLibInfo();

// Answers a dispatch call on IZarnCrypto by calling the typed method of the object.
HRESULT InvokeZarnCrypto(IZarnCrypto& object, const MemberInfo& member, std::vector<Variant>& args);

// The client's typed view of a crypto object in the service's process.
IUnknown* MakeZarnCryptoProxy(IDispatch* bus);
