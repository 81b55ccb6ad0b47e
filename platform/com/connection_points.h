#pragma once
// Connection points: how a client hands an object the sink for the object's events.
// An automation object keeps one point per event interface; nothing here fires events.

#include <cstdint>
#include <map>
#include <vector>

#include "com.h"

inline constexpr IID IID_IConnectionPointContainer = MakeGuid("{B196B284-BAB4-101A-B69C-00AA00341D07}");
inline constexpr IID IID_IConnectionPoint = MakeGuid("{B196B286-BAB4-101A-B69C-00AA00341D07}");
inline constexpr IID IID_IEnumConnections = MakeGuid("{B196B287-BAB4-101A-B69C-00AA00341D07}");

inline constexpr HRESULT CONNECT_E_NOCONNECTION = HRESULT(0x80040200u);
inline constexpr HRESULT CONNECT_E_CANNOTCONNECT = HRESULT(0x80040202u);

struct CONNECTDATA {
  ComPtr<IUnknown> sink;
  uint32_t cookie = 0;
};

class IEnumConnections : public IUnknown {
 public:
  // Up to count connections from the current position; S_FALSE when fewer were left.
  virtual HRESULT Next(uint32_t count, CONNECTDATA* connections, uint32_t* fetched) = 0;
  virtual HRESULT Reset() = 0;
};

class IConnectionPointContainer;

class IConnectionPoint : public IUnknown {
 public:
  virtual HRESULT GetConnectionInterface(IID* iid) = 0;
  virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** container) = 0;
  // The sink must answer the event interface (or IDispatch, as script sinks do).
  virtual HRESULT Advise(IUnknown* sink, uint32_t* cookie) = 0;
  virtual HRESULT Unadvise(uint32_t cookie) = 0;
  virtual HRESULT EnumConnections(IEnumConnections** connections) = 0;
};

class IConnectionPointContainer : public IUnknown {
 public:
  virtual HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** point) = 0;
};

// One connection point living inside its object: its references are the object's.
class ConnectionPoint final : public IConnectionPoint {
 public:
  ConnectionPoint(IConnectionPointContainer& container, REFIID iid) : container_(container), iid_(iid) {}

  HRESULT QueryInterface(REFIID iid, void** object) override;
  uint32_t AddRef() override { return container_.AddRef(); }
  uint32_t Release() override { return container_.Release(); }
  HRESULT GetConnectionInterface(IID* iid) override;
  HRESULT GetConnectionPointContainer(IConnectionPointContainer** container) override;
  HRESULT Advise(IUnknown* sink, uint32_t* cookie) override;
  HRESULT Unadvise(uint32_t cookie) override;
  HRESULT EnumConnections(IEnumConnections** connections) override;

  REFIID Iid() const { return iid_; }

 private:
  IConnectionPointContainer& container_;
  const IID iid_;
  std::map<uint32_t, ComPtr<IUnknown>> sinks_;
  uint32_t nextCookie_ = 1;
};

// The container half of an automation object with one event interface. The object
// answers IID_IConnectionPointContainer in its QueryInterface with this base.
class ConnectionPointContainerImpl : public IConnectionPointContainer {
 public:
  explicit ConnectionPointContainerImpl(REFIID eventsIid) : point_(*this, eventsIid) {}
  HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;

 private:
  ConnectionPoint point_;
};
