#include "connection_points.h"

namespace {

class ConnectionEnumerator final : public IEnumConnections, private ComObjectRoot {
 public:
  explicit ConnectionEnumerator(std::vector<CONNECTDATA> connections) : connections_(std::move(connections)) {}
  COM_REFCOUNT_METHODS
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IEnumConnections) {
      *object = static_cast<IEnumConnections*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT Next(uint32_t count, CONNECTDATA* out, uint32_t* fetched) override {
    if (!out && count > 0) return E_POINTER;
    uint32_t n = 0;
    for (; n < count && at_ < connections_.size(); ++n) out[n] = connections_[at_++];
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT Reset() override {
    at_ = 0;
    return S_OK;
  }

 private:
  std::vector<CONNECTDATA> connections_;
  size_t at_ = 0;
};

}  // namespace

HRESULT ConnectionPoint::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IConnectionPoint) {
    *object = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT ConnectionPoint::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = iid_;
  return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
  if (!container) return E_POINTER;
  container_.AddRef();
  *container = &container_;
  return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* sink, uint32_t* cookie) {
  if (!cookie) return E_POINTER;
  *cookie = 0;
  if (!sink) return E_POINTER;
  ComPtr<IUnknown> events;
  if (FAILED(sink->QueryInterface(iid_, events.PutVoid())) &&
      FAILED(sink->QueryInterface(IID_IDispatch, events.PutVoid())))
    return CONNECT_E_CANNOTCONNECT;
  *cookie = nextCookie_++;
  sinks_[*cookie] = std::move(events);
  return S_OK;
}

HRESULT ConnectionPoint::Unadvise(uint32_t cookie) {
  return sinks_.erase(cookie) ? S_OK : CONNECT_E_NOCONNECTION;
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections** connections) {
  if (!connections) return E_POINTER;
  std::vector<CONNECTDATA> list;
  for (const auto& [cookie, sink] : sinks_) list.push_back({sink, cookie});
  auto* enumerator = new ConnectionEnumerator(std::move(list));
  enumerator->AddRef();
  *connections = enumerator;
  return S_OK;
}

HRESULT ConnectionPointContainerImpl::FindConnectionPoint(REFIID iid, IConnectionPoint** point) {
  if (!point) return E_POINTER;
  *point = nullptr;
  if (iid != point_.Iid()) return CONNECT_E_NOCONNECTION;
  point_.AddRef();
  *point = &point_;
  return S_OK;
}
