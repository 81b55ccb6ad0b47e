#include "isession.h"

#include <QMetaObject>

#include "actions.h"
#include "cp1252.h"
#include "date_time.h"
#include "dom_script.h"
#include "main_form.h"
#include "tools.h"

namespace {

// The single-byte text of the system, as Unicode.
QString SingleByte(const Bstr& text) {
  return QString::fromStdString(platform::Cp1252ToUtf8(platform::Utf8ToCp1252(text.Utf8())));
}

HRESULT Hand(const ComPtr<IDispatch>& object, IDispatch** value) {
  if (!value) return E_POINTER;
  *value = ComPtr<IDispatch>(object).Detach();
  return S_OK;
}

HRESULT Text(const QString& text, Bstr* value) {
  if (!value) return E_POINTER;
  *value = Bstr::FromUtf8(text.toStdString());
  return S_OK;
}

// Now as a seal would store it: whole seconds.
TSealTime SealNow() { return DateTimeToSealTime(platform::Now()); }

}  // namespace

TZarnReaderSession::TZarnReaderSession(TMainForm* form)
    : ConnectionPointContainerImpl(DIID_IZarnReaderSessionEvents), form_(form) {}

ComPtr<TZarnReaderSession> TZarnReaderSession::Create(TMainForm* form) {
  return ComPtr<TZarnReaderSession>(new TZarnReaderSession(form));
}

HRESULT TZarnReaderSession::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IZarnReaderSession)
    *object = static_cast<IZarnReaderSession*>(this);
  else if (iid == IID_IConnectionPointContainer)
    *object = static_cast<IConnectionPointContainer*>(this);
  else
    return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

HRESULT TZarnReaderSession::get_Document(IDispatch** value) {
  return Hand(form_ ? CreateScriptDocument(form_->Document()) : ComPtr<IDispatch>(), value);
}

HRESULT TZarnReaderSession::get_Seal(IDispatch** value) { return Hand(seal_, value); }
HRESULT TZarnReaderSession::get_Group(IDispatch** value) { return Hand(group_, value); }

bool TZarnReaderSession::IsThisSession(const Variant& value) {
  if (value.Type() != VT_DISPATCH || !value.Dispatch()) return false;
  ComPtr<IUnknown> identity;
  return SUCCEEDED(value.Dispatch().As(IID_IUnknown, identity)) &&
         identity.Get() == static_cast<IUnknown*>(static_cast<IZarnReaderSession*>(this));
}

HRESULT TZarnReaderSession::SetValue(const Bstr& name, const Variant& value) {
  const QString key = SingleByte(name);
  const bool self = IsThisSession(value);
  StoredValue entry{key, self ? Variant() : value, self};
  for (StoredValue& stored : store_) {
    if (stored.name.compare(key, Qt::CaseInsensitive) == 0) {
      stored.value = std::move(entry.value);
      stored.self = self;
      return S_OK;
    }
  }
  store_.push_back(std::move(entry));
  return S_OK;
}

HRESULT TZarnReaderSession::GetValue(const Bstr& name, Variant* value) {
  if (!value) return E_POINTER;
  *value = Variant();
  const QString key = SingleByte(name);
  for (const StoredValue& stored : store_) {
    if (stored.name.compare(key, Qt::CaseInsensitive) != 0) continue;
    *value = stored.self ? Variant(ComPtr<IDispatch>(static_cast<IZarnReaderSession*>(this))) : stored.value;
    break;
  }
  return S_OK;
}

HRESULT TZarnReaderSession::get_Operator1(Bstr* value) {
  return Text(form_ ? form_->Options().operator1 : QString(), value);
}

HRESULT TZarnReaderSession::get_Operator2(Bstr* value) {
  return Text(form_ ? form_->Options().operator2 : QString(), value);
}

HRESULT TZarnReaderSession::get_SerialNumber(int32_t* value) {
  if (!value) return E_POINTER;
  *value = serialNumber_;
  return S_OK;
}

HRESULT TZarnReaderSession::get_Canceled(bool* value) {
  if (!value) return E_POINTER;
  *value = std::exchange(canceled_, false);
  return S_OK;
}

HRESULT TZarnReaderSession::Cancel() {
  ActionCanceled = true;
  canceled_ = true;
  return S_OK;
}

HRESULT TZarnReaderSession::Close() {
  // The caller gets its answer first: the close may ask questions and end the program.
  if (form_) QMetaObject::invokeMethod(form_, &QWidget::close, Qt::QueuedConnection);
  return S_OK;
}

HRESULT TZarnReaderSession::Save(const Bstr& fileName) {
  return form_ && form_->SaveDatabaseAs(QString::fromStdString(fileName.Utf8())) ? S_OK : E_FAIL;
}

HRESULT TZarnReaderSession::Open(const Bstr& fileName) {
  return form_ && form_->OpenDatabase(QString::fromStdString(fileName.Utf8())) ? S_OK : E_FAIL;
}

HRESULT TZarnReaderSession::get_Expert(bool* value) {
  if (!value) return E_POINTER;
  *value = form_ && form_->Options().expertMode;
  return S_OK;
}

HRESULT TZarnReaderSession::Silent() {
  silent_ = true;
  return S_OK;
}

HRESULT TZarnReaderSession::Find(const Bstr& port) {
  // Without the window nothing is searched, which the caller reads as a refused search.
  TMainForm::TFindOutcome outcome;
  outcome.refused = true;
  if (form_) outcome = form_->FindSealsOnPort(QString::fromStdString(port.Utf8()));
  // Find answers S_OK whatever became of the search; what did is left in the store for the caller.
  const auto keep = [this](const char* name, const QString& text) {
    SetValue(Bstr::FromUtf8(name), Variant(Bstr::FromUtf8(text.toStdString())));
  };
  keep("Find.Result", outcome.refused ? "refused" : outcome.canceled ? "canceled" : "done");
  keep("Find.Ports", outcome.ports.join('\n'));
  keep("Find.Failed", outcome.failure);
  return S_OK;
}

HRESULT TZarnReaderSession::get_Date(Bstr* value) {
  if (!value) return E_POINTER;
  *value = Bstr::FromUtf8(SealTimeToDateText(SealNow()));
  return S_OK;
}

HRESULT TZarnReaderSession::get_Time(Bstr* value) {
  if (!value) return E_POINTER;
  *value = Bstr::FromUtf8(SealTimeToTimeText(SealNow()));
  return S_OK;
}
