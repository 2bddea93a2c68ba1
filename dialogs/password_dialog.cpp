#include "dialogs/password_dialog.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "res/codepage.h"

namespace kestrum {

namespace {

size_t CodePageBytes(const QString& text) {
    return FromUtf8(text.toStdString()).size();
}

}  // namespace

QString FitInsertion(const QString& before, const QString& after, size_t maxBytes, int* cursor) {
    const qsizetype common = std::min(before.size(), after.size());
    qsizetype prefix = 0;
    while (prefix < common && before[prefix] == after[prefix])
        ++prefix;
    if (prefix > 0 && after[prefix - 1].isHighSurrogate())
        --prefix;
    qsizetype suffix = 0;
    while (suffix < common - prefix && before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix])
        ++suffix;
    if (suffix > 0 && after[after.size() - suffix].isLowSurrogate())
        --suffix;

    const QString head = after.left(prefix);
    const QString tail = after.right(suffix);
    const QString inserted = after.mid(prefix, after.size() - prefix - suffix);
    const size_t kept = CodePageBytes(head) + CodePageBytes(tail);
    if (kept > maxBytes) {
        if (cursor != nullptr)
            *cursor = static_cast<int>(before.size());
        return before;
    }
    const std::string cut = CutToBytes(FromUtf8(inserted.toStdString()), maxBytes - kept);
    const QString fitted = QString::fromStdString(ToUtf8(cut));
    if (cursor != nullptr)
        *cursor = static_cast<int>(prefix + fitted.size());
    return head + fitted + tail;
}

PasswordDialog::PasswordDialog(QWidget* parent, const QString& promptText, size_t maxBytes)
    : QDialog(parent), maxBytes_(maxBytes) {
    setObjectName("131");
    setWindowTitle(QString::fromUtf8("パスワード"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    auto* prompt = new QLabel(
        promptText.isEmpty() ? QString::fromUtf8("FTP サーバーへのパスワードを入力してください") : promptText, this);
    field_ = new QLineEdit(this);
    field_->setObjectName("1012");
    field_->setEchoMode(QLineEdit::Password);
    ok_ = new QPushButton(QString::fromUtf8("OK"), this);
    ok_->setObjectName("1");
    ok_->setDefault(true);
    cancel_ = new QPushButton(QString::fromUtf8("ｷｬﾝｾﾙ"), this);
    cancel_->setObjectName("2");
    cancel_->setAutoDefault(false);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(prompt);
    layout->addWidget(field_);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(ok_, &QPushButton::clicked, this, &PasswordDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &PasswordDialog::reject);
    // Only typing and pasting reach textEdited; what does not fit is cut off the
    // inserted part, as with a field limited to 20 bytes.
    // Only typing and pasting reach textEdited; what does not fit is cut off the
    // inserted part, as with a field limited to 20 bytes. accepted_ follows
    // every change that fits, programmatic ones included.
    connect(field_, &QLineEdit::textEdited, this, &PasswordDialog::LimitToBytes);
    connect(field_, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (CodePageBytes(text) <= maxBytes_)
            accepted_ = text;
    });
}

void PasswordDialog::LimitToBytes(const QString& edited) {
    if (CodePageBytes(edited) <= maxBytes_)
        return;
    int cursor = 0;
    const QString fitted = FitInsertion(accepted_, edited, maxBytes_, &cursor);
    field_->setText(fitted);
    field_->setCursorPosition(cursor);
}

void PasswordDialog::accept() {
    password_ = CutToBytes(FromUtf8(field_->text().toStdString()), maxBytes_);
    QDialog::accept();
}

void PasswordDialog::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F1) {
        event->accept();  // help requests do nothing here
        return;
    }
    QDialog::keyPressEvent(event);
}

bool PasswordDialog::event(QEvent* event) {
    if (event->type() == QEvent::WhatsThis || event->type() == QEvent::EnterWhatsThisMode) {
        event->accept();
        return true;
    }
    return QDialog::event(event);
}

}  // namespace kestrum
