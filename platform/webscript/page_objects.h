#pragma once
// The automation objects of one page's script, reached over the page's web channel:
// created by ProgID (classes registered as safe for scripting only, in-process, given
// the page's site) and called by name through IDispatch. Every call runs later on the
// window thread, from the event loop, so a call that keeps the loop running (an
// operation that waits) leaves the page live for the next one (its Cancel); a release
// waits its turn behind the calls before it. Each call runs only while the document on
// screen may use the objects, else it answers with an error. Each answer goes out as the
// reply signal, and only to the page that asked: when the page goes, its objects are
// released and answers still due to it are dropped, unless it turns out to stay.

#include <QObject>
#include <QVariant>
#include <functional>
#include <map>
#include <vector>

#include "com.h"

namespace platform {

class PageObjects : public QObject {
  Q_OBJECT
 public:
  // site is what each object is handed as its site; admitted tells, as each call is about
  // to run, whether the document on screen may use the objects.
  PageObjects(const ComPtr<IUnknown>& site, std::function<bool()> admitted, QObject* parent = nullptr);
  ~PageObjects() override;

  // The page went (a new document committed, the browser closing): releases every object.
  void PageGone();
  // A new document was asked for: the objects go at once, and answers due to the page wait
  // until it is known whether the page stays.
  void PageLeaving();
  // The navigation ended without a new document the address would tell: stayed says the
  // page that asked is still on screen (a download, a stop), so the answers it was due are
  // given after all, as errors, now and as its calls end.
  void PageSettled(bool stayed);
  int ObjectCount() const { return int(objects_.size()); }

  // From page script; call numbers the answer. Objects travel as {"__zarnObject": id}.
  Q_INVOKABLE void create(int call, const QString& progId);
  Q_INVOKABLE void get(int call, int object, const QString& name);
  Q_INVOKABLE void put(int call, int object, const QString& name, const QVariant& value);
  Q_INVOKABLE void invoke(int call, int object, const QString& name, const QVariantList& args);
  Q_INVOKABLE void release(int object);

 signals:
  // {"value": v} or {"error": {"number": HRESULT, "message": text}}.
  void reply(int call, const QVariantMap& answer);

 private:
  void Later(std::function<void()> run);
  void Later(int call, std::function<QVariantMap()> work);
  void Answer(quint64 page, int call, const QVariantMap& answer);
  QVariantMap Call(int object, const QString& name, uint16_t flags, const QVariantList& args);
  QVariantMap Create(const QString& progId);
  QVariantMap Value(const Variant& value);
  QVariant Wrap(const ComPtr<IDispatch>& object);
  ComPtr<IDispatch> Unwrap(const QVariant& value) const;

  ComPtr<IUnknown> site_;
  const std::function<bool()> admitted_;
  std::map<int, ComPtr<IDispatch>> objects_;
  int nextObject_ = 0;
  quint64 page_ = 0;  // which page the objects and the calls under way belong to
  quint64 shown_ = 0;  // the first page of the document on screen, which PageLeaving may not end
  bool leaving_ = false;
  std::vector<int> held_;  // calls of the document on screen answered while it was leaving
};

// The answer of a failed call, as page script throws it.
QVariantMap ErrorAnswer(HRESULT number, const QString& message);

}  // namespace platform
