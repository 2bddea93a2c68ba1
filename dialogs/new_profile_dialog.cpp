#include "dialogs/new_profile_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "dialogs/field_helpers.h"
#include "dialogs/message_box.h"
#include "dialogs/qt_text.h"
#include "profiles/auto_setup.h"
#include "profiles/profile_store.h"
#include "res/message_ids.h"

namespace kestrum {

namespace {

constexpr int kStoreDamaged = msg::kStoreDamaged;

// The list's order: letters compared without case, then exactly.
bool ListOrder(const QString& a, const QString& b) {
    const int folded = QString::compare(a, b, Qt::CaseInsensitive);
    return folded != 0 ? folded < 0 : a < b;
}

}  // namespace

NewProfileDialog::NewProfileDialog(ProfileStore& store, MessageBoxes& boxes, QWidget* parent)
    : QDialog(parent), store_(store), boxes_(boxes) {
    setWindowTitle(Tr("新規プロファイル"));

    auto* prompt =
        new QLabel(Tr("新規プロファイル名を入力するか、自動セットアップ用プロファイルを選択してください。"), this);
    // Not wrapped: a wrapped Japanese text breaks between any two characters, in
    // the middle of a word. The dialog takes the width of the one line.
    nameField_ = new QComboBox(this);
    nameField_->setObjectName("1022");
    nameField_->setEditable(true);
    nameField_->setInsertPolicy(QComboBox::NoInsert);
    nameField_->setCompleter(nullptr);  // the typed text stays exactly as typed
    nameField_->setMinimumWidth(260);

    QDialogButtonBox* buttons = MakeOkCancelButtons(this);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(prompt);
    layout->addWidget(nameField_);
    layout->addWidget(buttons);

    // The ready-made names; without Program or the file the list stays empty.
    if (const auto program = store_.ReadGlobalString("Program")) {
        QStringList names;
        for (const std::string& name : ReadAutoSetupNames(AutoSetupPath(*program)))
            names << ToQString(name);
        std::stable_sort(names.begin(), names.end(), ListOrder);
        nameField_->addItems(names);
    }
    nameField_->setCurrentIndex(-1);
    nameField_->setEditText(QString());
}

void NewProfileDialog::accept() {
    const std::string name = ToBytes(nameField_->currentText(), kTextLimit);
    // Empty, too long, comma: checked before the store is touched.
    if (const int message = ValidateNewProfileName(name, {})) {
        boxes_.Show(this, TableText(message));
        return;
    }
    // Without Program the store is not set up: OK does nothing.
    if (!store_.ReadGlobalString("Program"))
        return;

    const int result = CreateProfileWithAutoSetup(store_, name);
    if (result < 0)
        return;  // Program went missing meanwhile: still nothing to do
    if (result == kStoreDamaged) {
        const std::string unwritable = store_.UnwritableText();
        boxes_.Show(this, unwritable.empty() ? TableText(result) : ToQString(unwritable));
        reject();
        return;
    }
    if (result != 0) {
        boxes_.Show(this, TableText(result));
        return;
    }
    name_ = name;
    QDialog::accept();
}

}  // namespace kestrum
