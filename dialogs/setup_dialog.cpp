#include "dialogs/setup_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "dialogs/detail_dialog.h"
#include "dialogs/dir_chooser_dialog.h"
#include "dialogs/field_helpers.h"
#include "dialogs/message_box.h"
#include "dialogs/new_profile_dialog.h"
#include "dialogs/proxy_dialog.h"
#include "profiles/profile_store.h"
#include "res/codepage.h"
#include "res/message_ids.h"

namespace kestrum {

namespace {

constexpr int kPathTooLong = msg::kChosenPathTooLong;

QLineEdit* NewField(const char* id, QWidget* parent) {
    auto* field = new QLineEdit(parent);
    field->setObjectName(id);
    return field;
}

QCheckBox* NewCheckBox(const char* id, const char* label, QWidget* parent) {
    auto* box = new QCheckBox(Tr(label), parent);
    box->setObjectName(id);
    return box;
}

QPushButton* NewButton(const char* id, const char* label, QWidget* parent) {
    auto* button = new QPushButton(Tr(label), parent);
    button->setObjectName(id);
    button->setAutoDefault(false);
    return button;
}

QLabel* NewLabel(const char* text, QWidget* buddy, QWidget* parent) {
    auto* label = new QLabel(Tr(text), parent);
    label->setBuddy(buddy);
    return label;
}

}  // namespace

SetupDialog::SetupDialog(ProfileStore& store, MessageBoxes& boxes, const std::string& selectedProfile, QWidget* parent)
    : QDialog(parent), store_(store), boxes_(boxes), mainSelectedProfile_(selectedProfile) {
    setWindowTitle(Tr("Kestrum セットアップ"));
    BuildControls();

    listChanged_ = false;
    {
        const QSignalBlocker blocker(profiles_);
        for (const std::string& name : store_.ReadProfileList())
            AddEntry(name);
        SelectEntry(mainSelectedProfile_);
    }
    editedProfile_ = SelectedName();
    LoadFields(editedProfile_);
    modified_ = false;
    listChanged_ = false;
}

void SetupDialog::BuildControls() {
    auto* close = NewButton("1", "閉じる", this);
    close->setDefault(true);
    profiles_ = new QComboBox(this);
    profiles_->setObjectName("1006");
    profiles_->setMinimumWidth(200);
    host_ = NewField("1007", this);
    user_ = NewField("1010", this);
    anonymous_ = NewCheckBox("1011", "Anonymous", this);
    anonymous_->setEnabled(false);
    password_ = NewField("1012", this);
    password_->setEchoMode(QLineEdit::Password);
    savePassword_ = NewCheckBox("1013", "パスワードを保存(&A)", this);
    auto* directories = new QGroupBox(Tr("ディレクトリ設定"), this);
    remoteDir_ = NewField("1014", directories);
    localDir_ = NewField("1015", directories);
    browse_ = NewButton("1039", "", directories);
    browse_->setIcon(DialogIcon(144));
    subdirs_ = NewCheckBox("1016", "サブディレクトリも更新(オプション)(&B)", directories);
    upload_ = NewCheckBox("1018", "アップロード(&U)", this);
    download_ = NewCheckBox("1017", "ダウンロード(&D)", this);
    auto* detail = NewButton("1033", "詳細設定(&E)", this);
    auto* create = NewButton("1020", "新規(&N)", this);
    auto* remove = NewButton("1019", "削除", this);
    auto* proxy = NewButton("1044", "プロキシ設定(&O)", this);

    auto* profileRow = new QHBoxLayout;
    profileRow->addWidget(NewLabel("プロファイル(&P) ：", profiles_, this));
    profileRow->addWidget(profiles_, 1);
    profileRow->addWidget(create);
    profileRow->addWidget(remove);

    auto* account = new QGridLayout;
    account->addWidget(NewLabel("ホスト名(&S) ：", host_, this), 0, 0);
    account->addWidget(host_, 0, 1, 1, 2);
    account->addWidget(NewLabel("ユーザー名(&M) ：", user_, this), 1, 0);
    account->addWidget(user_, 1, 1);
    account->addWidget(anonymous_, 1, 2);
    account->addWidget(NewLabel("パスワード(&W) ：", password_, this), 2, 0);
    account->addWidget(password_, 2, 1);
    account->addWidget(savePassword_, 2, 2);
    account->setColumnStretch(1, 1);

    auto* directoryGrid = new QGridLayout(directories);
    directoryGrid->addWidget(NewLabel("サーバー ディレクトリ(&R) ：", remoteDir_, directories), 0, 0);
    directoryGrid->addWidget(remoteDir_, 0, 1, 1, 2);
    directoryGrid->addWidget(NewLabel("ローカル ディレクトリ(&L) ：", localDir_, directories), 1, 0);
    directoryGrid->addWidget(localDir_, 1, 1);
    directoryGrid->addWidget(browse_, 1, 2);
    directoryGrid->addWidget(subdirs_, 2, 0, 1, 3);
    directoryGrid->setColumnStretch(1, 1);

    auto* directionRow = new QHBoxLayout;
    directionRow->addWidget(upload_);
    directionRow->addWidget(download_);
    directionRow->addStretch();

    auto* buttonRow = new QHBoxLayout;
    buttonRow->addWidget(detail);
    buttonRow->addWidget(proxy);
    buttonRow->addStretch();
    buttonRow->addWidget(close);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(profileRow);
    layout->addLayout(account);
    layout->addWidget(directories);
    layout->addLayout(directionRow);
    layout->addLayout(buttonRow);

    // Every change of these texts counts as an edit, the program's own too.
    for (QLineEdit* field : {host_, user_, password_, remoteDir_, localDir_}) {
        LimitBytes(field, kTextLimit);
        connect(field, &QLineEdit::textChanged, this, [this] { modified_ = true; });
    }
    for (QCheckBox* box : {savePassword_, subdirs_, download_, upload_}) {
        connect(box, &QCheckBox::clicked, this, [this] { modified_ = true; });
    }
    connect(profiles_, &QComboBox::currentIndexChanged, this, &SetupDialog::OnSelectionChanged);
    connect(close, &QPushButton::clicked, this, &SetupDialog::TryClose);
    connect(create, &QPushButton::clicked, this, &SetupDialog::OnNew);
    connect(remove, &QPushButton::clicked, this, &SetupDialog::OnDelete);
    connect(browse_, &QPushButton::clicked, this, &SetupDialog::OnBrowse);
    connect(proxy, &QPushButton::clicked, this, [this] { EditProxySettings(editedProfile_); });
    connect(detail, &QPushButton::clicked, this, [this] { EditDetailSettings(editedProfile_); });
}

void SetupDialog::accept() {
    TryClose();
}

void SetupDialog::reject() {
    TryClose();
}

std::optional<std::string> SetupDialog::AskNewProfile() {
    NewProfileDialog dialog(store_, boxes_, this);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.Name();
}

void SetupDialog::EditProxySettings(const std::string& profile) {
    ProxyDialog dialog(store_, boxes_, profile, this);
    dialog.exec();
}

void SetupDialog::EditDetailSettings(const std::string& profile) {
    DetailDialog dialog(store_, boxes_, profile, this);
    dialog.exec();
}

std::optional<QString> SetupDialog::ChooseDirectory(const QString& start) {
    DirChooserDialog dialog(start, this);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.SelectedDirectory();
}

void SetupDialog::OnNew() {
    if (modified_ && !editedProfile_.empty() && !SelectedName().empty()) {
        if (!CheckFields())
            return;
        SavePendingEdits();
    }
    const std::optional<std::string> name = AskNewProfile();
    if (!name)
        return;
    {
        const QSignalBlocker blocker(profiles_);
        AddEntry(*name);
        SelectEntry(*name);
    }
    const std::string selected = SelectedName();
    LoadFields(selected);
    listChanged_ = true;
    editedProfile_ = selected;
}

void SetupDialog::OnDelete() {
    if (!boxes_.Show(this, TableText(msg::kAskDeleteProfile), BoxButtons::OkCancelRisky))
        return;

    const std::string name = SelectedName();
    int entry = -1;
    std::vector<std::string> remaining;
    for (int i = 0; i < profiles_->count(); ++i) {
        if (entry < 0 && EqualsIgnoreCase(EntryName(i), name)) {
            entry = i;
        } else {
            remaining.push_back(EntryName(i));
        }
    }
    {
        const QSignalBlocker blocker(profiles_);
        if (store_.DeleteProfile(name, remaining) == 0 && entry >= 0)
            profiles_->removeItem(entry);
        SelectEntry(mainSelectedProfile_);
    }
    // A deletion never saves pending edits: the next load replaces them.
    listChanged_ = true;
    editedProfile_ = SelectedName();
    LoadFields(editedProfile_);
}

void SetupDialog::OnSelectionChanged(int index) {
    const std::string chosen = EntryName(index);
    if (!chosen.empty() && modified_) {
        if (!CheckFields()) {
            const QSignalBlocker blocker(profiles_);
            if (const int edited = FindPrefix(editedProfile_); edited >= 0)
                profiles_->setCurrentIndex(edited);
            return;
        }
        SavePendingEdits();  // under the profile that was edited, not the new choice
    }
    LoadFields(chosen);
    editedProfile_ = chosen;
}

void SetupDialog::OnBrowse() {
    if (const std::optional<QString> chosen = ChooseDirectory(localDir_->text())) {
        // A path that the store cannot hold whole would be saved cut short.
        if (ToBytes(*chosen).size() > SchemaValue("LOCAL_DIRECTORY").maxBytes) {
            boxes_.Show(this, TableText(kPathTooLong));
            return;
        }
        localDir_->setText(*chosen);
        modified_ = true;
    }
}

void SetupDialog::TryClose() {
    if (!SelectedName().empty() && modified_) {
        if (!CheckFields()) {
            const QSignalBlocker blocker(profiles_);
            if (const int edited = FindPrefix(editedProfile_); edited >= 0)
                profiles_->setCurrentIndex(edited);
            return;
        }
        SavePendingEdits();
    }
    QDialog::done(listChanged_ ? QDialog::Accepted : QDialog::Rejected);
}

void SetupDialog::LoadFields(const std::string& name) {
    if (name.empty()) {
        // No profile: the texts go, the boxes keep their state.
        for (QLineEdit* field : {host_, user_, password_, localDir_, remoteDir_})
            field->clear();
        return;
    }
    const std::optional<Profile> profile = store_.LoadProfile(name);
    if (!profile)
        return;  // the fields keep what they showed
    host_->setText(ToQString(profile->host.value_or("")));
    user_->setText(ToQString(profile->user.value_or("")));
    remoteDir_->setText(ToQString(profile->remoteDir.value_or("")));
    localDir_->setText(ToQString(profile->localDir.value_or("")));
    const bool saved = profile->savePassword.value_or(0) != 0 && profile->password.has_value();
    savePassword_->setChecked(saved);
    password_->setText(saved ? ToQString(*profile->password) : QString());
    subdirs_->setChecked(profile->checkSub.value_or(0) != 0);
    upload_->setChecked(profile->checkUpload.value_or(0) != 0);
    download_->setChecked(profile->checkDownload.value_or(0) != 0);
    modified_ = false;
}

GeneralSettings SetupDialog::FieldValues() const {
    // Each text is cut to what its value holds.
    return {.host = ToBytes(host_->text(), SchemaValue("HOST").maxBytes),
            .user = ToBytes(user_->text(), SchemaValue("USER").maxBytes),
            .password = ToBytes(password_->text(), SchemaValue("PSW").maxBytes),
            .savePassword = savePassword_->isChecked(),
            .localDir = ToBytes(localDir_->text(), SchemaValue("LOCAL_DIRECTORY").maxBytes),
            .remoteDir = ToBytes(remoteDir_->text(), SchemaValue("REMOTE_DIRECTORY").maxBytes),
            .subdirs = subdirs_->isChecked(),
            .download = download_->isChecked(),
            .upload = upload_->isChecked()};
}

bool SetupDialog::CheckFields() {
    const int message = CheckGeneralSettings(FieldValues());
    if (message == 0)
        return true;
    boxes_.Show(this, TableText(message));
    return false;
}

void SetupDialog::SavePendingEdits() {
    if (editedProfile_.empty())
        return;
    const bool saved = store_.SaveGeneralSettings(editedProfile_, FieldValues());
    if (saved)
        modified_ = false;  // a failed save keeps the edits pending
}

std::string SetupDialog::EntryName(int index) const {
    if (index < 0 || index >= profiles_->count())
        return {};
    return profiles_->itemData(index).toByteArray().toStdString();
}

std::string SetupDialog::SelectedName() const {
    return EntryName(profiles_->currentIndex());
}

int SetupDialog::AddEntry(const std::string& name) {
    int row = 0;
    while (row < profiles_->count() && !ProfileNameLess(name, EntryName(row)))
        ++row;
    profiles_->insertItem(row, ToQString(name), QByteArray::fromStdString(name));
    return row;
}

int SetupDialog::FindPrefix(const std::string& name) const {
    const std::string prefix = UpperAscii(name);
    for (int i = 0; i < profiles_->count(); ++i) {
        if (UpperAscii(EntryName(i)).starts_with(prefix))
            return i;
    }
    return -1;
}

void SetupDialog::SelectEntry(const std::string& name) {
    int index = name.empty() ? -1 : FindPrefix(name);
    if (index < 0 && profiles_->count() > 0)
        index = 0;
    profiles_->setCurrentIndex(index);
}

}  // namespace kestrum
