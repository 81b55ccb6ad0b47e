#include "user.h"

#include <QGridLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "message_box.h"
#include "message_dlg.h"

TUserForm::TUserForm(QWidget* mainWindow) : TReaderDialog(mainWindow, 275, 168, NoCaptionButtons) {
  setObjectName("UserForm");
  setWindowTitle("Operator Information");

  auto* strip = new QLabel("Enter operator IDs", this);
  strip->setStyleSheet("background: white");
  QFont bold = strip->font();
  bold.setBold(true);
  strip->setFont(bold);
  strip->setContentsMargins(12, 10, 12, 10);

  InitialsEdit1 = new TUserIdEdit(this);
  InitialsEdit1->setObjectName("InitialsEdit1");
  InitialsEdit2 = new TUserIdEdit(this);
  InitialsEdit2->setObjectName("InitialsEdit2");
  for (TUserIdEdit* edit : {InitialsEdit1, InitialsEdit2}) {
    edit->setMaxLength(3);
    edit->setFixedWidth(50);
  }
  ExpertModeBox = new QCheckBox("Expert Mode", this);
  ExpertModeBox->setObjectName("ExpertModeBox");
  ShowAtStartupBox = new QCheckBox("Show this dialog box at program startup", this);
  ShowAtStartupBox->setObjectName("ShowAtStartupBox");
  OkayButton = new QPushButton("OK", this);
  OkayButton->setObjectName("OkayButton");
  OkayButton->setDefault(true);

  auto* grid = new QGridLayout;
  grid->setContentsMargins(12, 0, 12, 0);
  grid->addWidget(new QLabel("Operator 1: ", this), 0, 0);
  grid->addWidget(InitialsEdit1, 0, 1);
  grid->addWidget(new QLabel("Operator 2: ", this), 1, 0);
  grid->addWidget(InitialsEdit2, 1, 1);
  grid->setColumnStretch(2, 1);
  grid->addWidget(OkayButton, 0, 3);
  grid->addWidget(ExpertModeBox, 2, 0, 1, 4);
  grid->addWidget(ShowAtStartupBox, 3, 0, 1, 4);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 10);
  layout->addWidget(strip);
  layout->addLayout(grid);
  layout->addStretch();

  connect(OkayButton, &QPushButton::clicked, this, &TUserForm::OkayButtonClick);
}

void TUserForm::Execute(ReaderOptions& options) {
  InitialsEdit1->setText(options.operator1);
  InitialsEdit2->setText(options.operator2);
  ShowAtStartupBox->setChecked(options.showDialog);
  ExpertModeBox->setChecked(options.expertMode);
  InitialsEdit1->setFocus();
  exec();
  options.operator1 = InitialsEdit1->text();
  options.operator2 = InitialsEdit2->text();
  options.showDialog = ShowAtStartupBox->isChecked();
  options.expertMode = ExpertModeBox->isChecked();
}

void TUserForm::reject() { OkayButtonClick(); }

void TUserForm::OkayButtonClick() {
  if (InitialsEdit1->text().isEmpty() && InitialsEdit2->text().isEmpty()) {
    MessageDlg("Please enter your operator ID", TMsgDlgType::Error, platform::MB_OK);
    InitialsEdit1->setFocus();
    return;
  }
  accept();
}
