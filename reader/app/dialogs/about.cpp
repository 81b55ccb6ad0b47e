#include "about.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

#include "images.h"

namespace {
constexpr int FrameWidth = 3;
const QColor SteelBlue(70, 130, 180);
}  // namespace

TAboutForm::TAboutForm(QWidget* mainWindow)
    : TReaderDialog(mainWindow, 340, 150, Qt::Dialog | Qt::FramelessWindowHint) {
  setObjectName("AboutForm");
  setWindowTitle("About ZARN");

  auto* icon = new QLabel(this);
  icon->setPixmap(ReaderImages::TreeImage(GroupImage).scaled(50, 32, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  auto* name = new QLabel("ZARN Reader", this);
  QFont big = name->font();
  big.setBold(true);
  big.setPointSizeF(big.pointSizeF() * 1.5);
  name->setFont(big);
  auto* version = new QLabel("Version 3.6.0.0", this);
  auto* rights = new QLabel("Copyright \u00A9 Halvec. All rights reserved.", this);
  Button1 = new QPushButton("OK", this);
  Button1->setObjectName("Button1");
  Button1->setDefault(true);

  auto* text = new QVBoxLayout;
  text->addWidget(name);
  text->addWidget(version);
  text->addWidget(rights);
  text->addStretch();
  auto* top = new QHBoxLayout;
  top->addWidget(icon, 0, Qt::AlignTop);
  top->addSpacing(10);
  top->addLayout(text, 1);
  auto* bottom = new QHBoxLayout;
  bottom->addStretch();
  bottom->addWidget(Button1);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(FrameWidth + 12, FrameWidth + 12, FrameWidth + 12, FrameWidth + 10);
  layout->addLayout(top);
  layout->addLayout(bottom);

  connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
}

void TAboutForm::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), SteelBlue);
  painter.fillRect(rect().adjusted(FrameWidth, FrameWidth, -FrameWidth, -FrameWidth), Qt::white);
}
