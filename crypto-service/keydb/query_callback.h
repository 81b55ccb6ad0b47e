#pragma once
// The row callback of the key database's queries: one call per result row, false stops
// the rows.

class CQueryCallback {
 public:
  virtual ~CQueryCallback() = default;
  virtual bool Invoke(int id, const wchar_t* text) = 0;
};

// Forwards each row to a member function of a caller, who makes one on its stack for the
// length of one query.
template <class T>
class TQueryCallback : public CQueryCallback {
 public:
  using Method = bool (T::*)(int id, const wchar_t* text);

  TQueryCallback(T* object, Method method) : object_(object), method_(method) {}

  bool Invoke(int id, const wchar_t* text) override { return (object_->*method_)(id, text); }

 private:
  T* object_;
  Method method_;
};
