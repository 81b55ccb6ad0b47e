#pragma once
// The operator dialog: the two operators' initials and two options. It has only OK,
// which Escape presses as well; it will not close while both boxes are empty.

#include <QCheckBox>
#include <QPushButton>

#include "initials_edit.h"
#include "reader_dialog.h"
#include "setup_trees.h"

class TUserForm : public TReaderDialog {
  Q_OBJECT

 public:
  explicit TUserForm(QWidget* mainWindow);

  // Shows the options and, once closed, writes the answers back into them.
  void Execute(ReaderOptions& options);

  TUserIdEdit* InitialsEdit1;
  TUserIdEdit* InitialsEdit2;
  QCheckBox* ExpertModeBox;
  QCheckBox* ShowAtStartupBox;
  QPushButton* OkayButton;

 public slots:
  void reject() override;  // Escape presses OK

 private:
  void OkayButtonClick();
};
