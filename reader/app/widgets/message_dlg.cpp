#include "message_dlg.h"

#include "message_box.h"

int MessageDlg(const QString& text, TMsgDlgType type, unsigned buttons) {
  struct Look {
    const char* caption;
    unsigned icon;
  };
  static constexpr Look looks[] = {{"Warning", platform::MB_ICONWARNING},
                                    {"Error", platform::MB_ICONERROR},
                                    {"Information", platform::MB_ICONINFORMATION},
                                    {"Confirm", platform::MB_ICONQUESTION}};
  const Look& look = looks[static_cast<int>(type)];
  return platform::MessageBox(text.toStdString(), look.caption, buttons | look.icon);
}
