#include "ui/AboutDlg.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "res/texts/UiTexts.h"
#include "ui/UiText.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QTxt(txt::kAboutTitle));
  auto* icon = new QLabel(this);
  icon->setPixmap(AppIcon().pixmap(32, 32));
  icon->setAlignment(Qt::AlignTop);
  auto* texts = new QVBoxLayout;
  for (const char* line : {txt::kAboutVersion, txt::kAboutLine1, txt::kAboutLine2})
    texts->addWidget(new QLabel(QTxt(line), this));
  auto* ok = new QPushButton(QTxt(txt::kOk), this);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  auto* top = new QHBoxLayout;
  top->addWidget(icon);
  top->addLayout(texts, 1);
  top->addWidget(ok, 0, Qt::AlignTop);
  setLayout(top);
}
