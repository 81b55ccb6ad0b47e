#pragma once
// What every token dialog is built from: its template's font, the dialog units of that
// font, controls placed at their template rectangles and named by their template ids,
// the message boxes owned by a dialog, and the token a dialog works on.

#include <QDialog>
#include <QFont>
#include <QRect>
#include <memory>
#include <string>

#include "zarn_crypto.h"

class QWidget;

// A control's template id and the name tests find it by (its objectName).
struct ControlId {
  int id;
  const char* name;
};

// Dialog units of the font a dialog actually uses: a horizontal unit is a quarter of the
// font's average character width (over A-Z and a-z), a vertical unit an eighth of its height.
class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  QRect ToPixels(int x, int y, int width, int height) const;
  int BaseWidth() const { return baseWidth_; }
  int BaseHeight() const { return baseHeight_; }

 private:
  int baseWidth_;
  int baseHeight_;
};

// A dialog laid out from a template: caption, size in dialog units and font. Controls are
// made in template order, which is also their tab order.
class DialogTemplate {
 public:
  DialogTemplate(QDialog* dialog, const char* caption, int width, int height, const char* fontFamily = "Tahoma",
                 int pointSize = 8);
  // Places the control at its template rectangle and names it.
  template <class W>
  W* Place(W* control, int x, int y, int width, int height, const char* name) const {
    control->setParent(dialog_);
    control->setGeometry(units_.ToPixels(x, y, width, height));
    control->setObjectName(name);
    return control;
  }
  template <class W>
  W* Place(W* control, int x, int y, int width, int height, ControlId id) const {
    return Place(control, x, y, width, height, id.name);
  }
 private:
  QDialog* dialog_;
  DialogUnits units_;
};

// The token a dialog works on, while it is attached. The token window detaches it when the
// scan removes the token; from then on no dialog may touch it, so every use asks here first.
class TokenHold {
 public:
  explicit TokenHold(CToken* token) : token_(token) {}
  CToken* Get() const { return token_; }
  void Detach() { token_ = nullptr; }

 private:
  CToken* token_;
};
using SharedTokenHold = std::shared_ptr<TokenHold>;

// A message box owned by a dialog, through the system's one message-box function.
int DialogMessage(QWidget* owner, const std::string& text, const char* caption, unsigned flags);

inline constexpr const char* TokenCaption = "ZARN Crypto Token";
