#include "app/about_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "dialogs/qt_text.h"
#include "res/message_ids.h"

namespace kestrum {

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("137");
    setWindowTitle(QString::fromUtf8("Kestrum Ver1.0"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    auto* icon = new QLabel(this);
    icon->setPixmap(QPixmap(":/kestrum/icons/kestrum-48.png"));
    auto* picture = new QLabel(this);
    picture->setPixmap(QPixmap(":/kestrum/icons/about-picture.png"));
    auto* notice = new QLabel(TableText(msg::kAboutCopyright), this);
    auto* build = new QLabel(QString::fromUtf8("build 9\nbuild date:1998/12/11"), this);
    build->setObjectName("build");
    contact_ = new QPlainTextEdit(this);
    contact_->setObjectName("1030");
    contact_->setReadOnly(true);
    contact_->setPlainText(TableText(msg::kAboutContact));
    contact_->setMinimumSize(360, 90);
    auto* ok = new QPushButton(QString::fromUtf8("OK"), this);
    ok->setObjectName("1");
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* texts = new QVBoxLayout;
    texts->addWidget(notice);
    texts->addWidget(build);
    auto* top = new QHBoxLayout;
    top->addWidget(icon, 0, Qt::AlignTop);
    top->addLayout(texts, 1);
    top->addWidget(picture, 0, Qt::AlignTop);
    top->addWidget(ok, 0, Qt::AlignTop);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(contact_);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

}  // namespace kestrum
