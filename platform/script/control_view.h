#pragma once
// What a container sees of a control's picture: the control draws itself on the
// container's drawing context (a QPainter on the container's widget) within the given
// bounds, tells its advise sink when its picture changed, and has a natural extent.

#include <QPainter>
#include <QRect>

#include "com.h"

inline constexpr IID IID_IViewObject2 = MakeGuid("{00000127-0000-0000-C000-000000000046}");

// HIMETRIC (0.01 mm) to pixels and back at the given dots per inch.
constexpr int HimetricToPixels(int himetric, int dpi = 96) { return (himetric * dpi + 1270) / 2540; }

// The container's side; it outlives the advise connection (SetAdvise(nullptr) ends it).
class IAdviseSink {
 public:
  virtual void OnViewChange() = 0;

 protected:
  ~IAdviseSink() = default;
};

class IViewObject2 : public IUnknown {
 public:
  // Paints into bounds; the painter's state, its clip region included, is as it was after.
  virtual HRESULT Draw(QPainter* dc, const QRect& bounds) = 0;
  virtual HRESULT SetAdvise(IAdviseSink* sink) = 0;
  // The extent in HIMETRIC.
  virtual HRESULT GetExtent(int32_t* cx, int32_t* cy) = 0;
};
