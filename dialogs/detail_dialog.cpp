#include "dialogs/detail_dialog.h"

#include <algorithm>
#include <string_view>

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QToolButton>
#include <QVBoxLayout>

#include "dialogs/field_helpers.h"
#include "dialogs/message_box.h"
#include "dialogs/qt_text.h"
#include "profiles/profile_store.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

namespace {
constexpr const ProfileValue& kTimeLag = SchemaValue("TIME_LAG");
constexpr const ProfileValue& kMaxDelete = SchemaValue("MAX_DELETE");
constexpr const ProfileValue& kParallel = SchemaValue("PARALLEL");
constexpr const ProfileValue& kWatchInterval = SchemaValue("WATCH_SERVER_INTERVAL");
// The choices of the deletion limit, in the list's order.
constexpr int kLimitAutomatic = 0, kLimitNumber = 1, kLimitNone = 2;
constexpr const ProfileValue& kSshKeyFile = SchemaValue("SSH_KEY_FILE");
constexpr int kSftp = 3;  // FTP_SECURITY of an SFTP profile
}  // namespace

DetailDialog::DetailDialog(ProfileStore& store, MessageBoxes& boxes, const std::string& profileName, QWidget* parent)
    : QDialog(parent), store_(store), boxes_(boxes), profileName_(profileName) {
    setWindowTitle(Tr("詳細設定"));

    asciiTransfer_ = new QLineEdit(this);
    asciiTransfer_->setObjectName("1052");
    LimitBytes(asciiTransfer_, SchemaValue("ASCII_TRANSFER").maxBytes);
    fileTransfer_ = new QLineEdit(this);
    fileTransfer_->setObjectName("1053");
    LimitBytes(fileTransfer_, SchemaValue("FILE_TRANSFER").maxBytes);
    timeLag_ = new QLineEdit(this);
    timeLag_->setObjectName("1054");
    timeLag_->setMaximumWidth(60);
    MakeDigitsOnly(timeLag_);
    upDown_ = new UpDownControl(timeLag_, this);
    upDown_->setObjectName("1055");
    upDown_->UpButton()->setObjectName("1055_up");
    upDown_->DownButton()->setObjectName("1055_down");
    transferBoth_ = new QCheckBox(Tr("サーバーとローカルの両方にあるファイルのみ更新(&L)"), this);
    transferBoth_->setObjectName("1058");
    // Made right after the both-sides rule: the two file-update options follow each other on Tab too.
    uploadTemp_ = new QCheckBox(TableText(msg::kDetailUploadTempLabel), this);
    uploadTemp_->setObjectName("uploadTemp");
    uploadTemp_->setToolTip(TableText(msg::kDetailUploadTempTip));

    auto* mirroring = new QGroupBox(Tr("ミラーリングの設定"), this);
    mirrorFiles_ = new QCheckBox(Tr("サーバーのファイル削除 (アップロードのみ)(&U)"), mirroring);
    mirrorFiles_->setObjectName("1056");
    mirrorDirs_ = new QCheckBox(Tr("サーバーのディレクトリ削除 (アップロードのみ)(&D)"), mirroring);
    mirrorDirs_->setObjectName("1057");
    // Deletions beyond the limit wait for a confirmation. MAX_DELETE holds the
    // choice: -1 automatic, a number, 0 no limit; the number is asked for only
    // when chosen, so 0 never reads as "ask always".
    maxDeleteMode_ = new QComboBox(mirroring);
    maxDeleteMode_->setObjectName("maxDeleteMode");
    maxDeleteMode_->addItems(
        {TableText(msg::kDetailLimitAutomatic), TableText(msg::kDetailLimitNumber), TableText(msg::kDetailLimitNone)});
    maxDelete_ = new QSpinBox(mirroring);
    maxDelete_->setObjectName("maxDelete");
    maxDelete_->setRange(1, kMaxDelete.max);
    maxDelete_->setValue(50);
    maxDelete_->setSuffix(TableText(msg::kDetailLimitSuffix));
    auto* maxDeleteLabel = new QLabel(TableText(msg::kDetailLimitLabel), mirroring);
    maxDeleteLabel->setBuddy(maxDeleteMode_);
    auto* limitRow = new QHBoxLayout;
    limitRow->addWidget(maxDeleteMode_);
    limitRow->addWidget(maxDelete_);
    limitRow->addStretch();
    auto* mirroringLayout = new QVBoxLayout(mirroring);
    mirroringLayout->addWidget(mirrorFiles_);
    mirroringLayout->addWidget(mirrorDirs_);
    mirroringLayout->addWidget(maxDeleteLabel);
    mirroringLayout->addLayout(limitRow);

    // The connection: its kind (new profiles explicit TLS, stored ones without
    // the value plain FTP), the pinned server key of that kind, the SFTP key
    // file, and passive or active mode.
    auto* connection = new QGroupBox(Tr("接続の設定"), this);
    security_ = new QComboBox(connection);
    security_->setObjectName("ftpSecurity");
    security_->addItems({Tr("なし (平文の FTP)"), Tr("明示的な TLS (AUTH TLS)"), Tr("暗黙の TLS (ポート 990)"),
                         Tr("SFTP (SSH、ポート 22)")});
    auto* securityLabel = new QLabel(Tr("接続の種類(&S) ："), connection);
    securityLabel->setBuddy(security_);
    pinnedKey_ = new QLineEdit(connection);
    pinnedKey_->setObjectName("pinnedKey");
    pinnedKey_->setReadOnly(true);
    auto* pinnedKeyLabel = new QLabel(Tr("記憶したサーバーの公開鍵(&K) ："), connection);
    pinnedKeyLabel->setBuddy(pinnedKey_);
    removePinnedKey_ = new QPushButton(Tr("削除(&R)"), connection);
    removePinnedKey_->setObjectName("removePinnedKey");
    sshKeyFile_ = new QLineEdit(connection);
    sshKeyFile_->setObjectName("sshKeyFile");
    sshKeyFile_->setPlaceholderText(Tr("なし (ssh-agent またはパスワードでログイン)"));
    LimitBytes(sshKeyFile_, kSshKeyFile.maxBytes);
    auto* sshKeyFileLabel = new QLabel(Tr("秘密鍵ファイル (SFTP)(&F) ："), connection);
    sshKeyFileLabel->setBuddy(sshKeyFile_);
    chooseSshKeyFile_ = new QPushButton(Tr("参照(&B)..."), connection);
    chooseSshKeyFile_->setObjectName("chooseSshKeyFile");
    passive_ = new QCheckBox(Tr("パッシブ モードで転送する (NAT やファイアウォールの内側から)(&V)"), connection);
    passive_->setObjectName("passive");
    auto* keyRow = new QHBoxLayout;
    keyRow->addWidget(pinnedKey_);
    keyRow->addWidget(removePinnedKey_);
    auto* keyFileRow = new QHBoxLayout;
    keyFileRow->addWidget(sshKeyFile_);
    keyFileRow->addWidget(chooseSshKeyFile_);
    auto* connectionLayout = new QGridLayout(connection);
    connectionLayout->addWidget(securityLabel, 0, 0);
    connectionLayout->addWidget(security_, 0, 1);
    connectionLayout->addWidget(pinnedKeyLabel, 1, 0);
    connectionLayout->addLayout(keyRow, 1, 1);
    connectionLayout->addWidget(sshKeyFileLabel, 2, 0);
    connectionLayout->addLayout(keyFileRow, 2, 1);
    connectionLayout->addWidget(passive_, 3, 0, 1, 2);

    auto* asciiLabel = new QLabel(Tr("ASCII 転送ファイル(拡張子）(&A) ："), this);
    asciiLabel->setBuddy(asciiTransfer_);
    auto* excludedLabel = new QLabel(Tr("非転送ファイル(拡張子)(&N) ："), this);
    excludedLabel->setBuddy(fileTransfer_);
    auto* lagLabel = new QLabel(Tr("サーバーとの時間差(1～100分)(&T) ："), this);
    lagLabel->setBuddy(timeLag_);
    parallel_ = new QSpinBox(this);
    parallel_->setObjectName("parallel");
    parallel_->setRange(kParallel.min, kParallel.max);
    auto* parallelLabel = new QLabel(TableText(msg::kDetailParallelLabel), this);
    parallelLabel->setBuddy(parallel_);
    watchInterval_ = new QSpinBox(this);
    watchInterval_->setObjectName("watchInterval");
    watchInterval_->setRange(kWatchInterval.min, kWatchInterval.max);
    watchInterval_->setSpecialValueText(TableText(msg::kDetailWatchIntervalOff));
    auto* watchIntervalLabel = new QLabel(TableText(msg::kDetailWatchIntervalLabel), this);
    watchIntervalLabel->setBuddy(watchInterval_);

    QDialogButtonBox* buttons = MakeOkCancelButtons(this);

    auto* lagRow = new QHBoxLayout;
    lagRow->setSpacing(1);
    lagRow->addWidget(timeLag_);
    lagRow->addWidget(upDown_);
    lagRow->addStretch();
    auto* fields = new QGridLayout;
    fields->addWidget(asciiLabel, 0, 0);
    fields->addWidget(asciiTransfer_, 0, 1);
    fields->addWidget(excludedLabel, 1, 0);
    fields->addWidget(fileTransfer_, 1, 1);
    fields->addWidget(lagLabel, 2, 0);
    fields->addLayout(lagRow, 2, 1);
    fields->addWidget(parallelLabel, 3, 0);
    fields->addWidget(parallel_, 3, 1, Qt::AlignLeft);
    fields->addWidget(watchIntervalLabel, 4, 0);
    fields->addWidget(watchInterval_, 4, 1, Qt::AlignLeft);
    fields->setColumnMinimumWidth(1, 200);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addWidget(transferBoth_);
    layout->addWidget(uploadTemp_);
    layout->addWidget(mirroring);
    layout->addWidget(connection);
    layout->addWidget(buttons);

    // Connected before the stored values are shown: showing them is a change too.
    for (QLineEdit* field : {asciiTransfer_, fileTransfer_, timeLag_, sshKeyFile_}) {
        connect(field, &QLineEdit::textChanged, this, [this] { modified_ = true; });
    }
    connect(transferBoth_, &QCheckBox::clicked, this, [this] { modified_ = true; });
    connect(uploadTemp_, &QCheckBox::clicked, this, [this] { modified_ = true; });
    connect(mirrorDirs_, &QCheckBox::clicked, this, [this] { modified_ = true; });
    connect(maxDelete_, &QSpinBox::valueChanged, this, [this] { modified_ = true; });
    connect(maxDeleteMode_, &QComboBox::currentIndexChanged, this, [this](int mode) {
        modified_ = true;
        maxDelete_->setEnabled(mode == kLimitNumber);
    });
    connect(security_, &QComboBox::currentIndexChanged, this, [this] {
        modified_ = true;
        ShowKindControls();
    });
    connect(passive_, &QCheckBox::clicked, this, [this] { modified_ = true; });
    connect(removePinnedKey_, &QPushButton::clicked, this, &DetailDialog::RemoveShownKey);
    connect(chooseSshKeyFile_, &QPushButton::clicked, this, &DetailDialog::ChooseSshKeyFile);
    connect(parallel_, &QSpinBox::valueChanged, this, [this] { modified_ = true; });
    connect(watchInterval_, &QSpinBox::valueChanged, this, [this] { modified_ = true; });
    connect(mirrorFiles_, &QCheckBox::clicked, this, [this](bool checked) {
        modified_ = true;
        mirrorDirs_->setEnabled(checked);  // keeps its tick while disabled
    });

    // Tab follows the screen: the connection count and the watch interval
    // come under the time lag, not after the last box of the dialog.
    setTabOrder(timeLag_, parallel_);
    setTabOrder(parallel_, watchInterval_);

    LoadValues();
}

void DetailDialog::LoadValues() {
    std::optional<Profile> profile;
    if (!profileName_.empty())
        profile = store_.LoadProfile(profileName_);
    const Profile values = profile.value_or(Profile{});

    asciiTransfer_->setText(ToQString(values.asciiTransfer.value_or("")));
    fileTransfer_->setText(ToQString(values.fileTransfer.value_or("")));
    const int32_t lag = values.timeLag.value_or(0);
    timeLag_->setText(QString::number(lag > 0 ? lag : kTimeLag.number));
    transferBoth_->setChecked(values.transferBoth.value_or(0) != 0);
    uploadTemp_->setChecked(values.uploadTemp.value_or(1) != 0);
    mirrorFiles_->setChecked(values.mirroringFile.value_or(0) != 0);
    mirrorDirs_->setChecked(values.mirroringDir.value_or(0) != 0);
    mirrorDirs_->setEnabled(mirrorFiles_->isChecked());
    const int32_t limit = values.maxDelete.value_or(-1);
    maxDeleteMode_->setCurrentIndex(limit > 0 ? kLimitNumber : limit == 0 ? kLimitNone : kLimitAutomatic);
    if (limit > 0)
        maxDelete_->setValue(limit);
    maxDelete_->setEnabled(limit > 0);
    // Missing or out of range (by hand in the store): what a run uses then.
    const int32_t parallel = values.parallel.value_or(kParallel.number);
    parallel_->setValue(InRange(kParallel, parallel) ? parallel : kParallel.number);
    const int32_t watchInterval = values.watchServerInterval.value_or(0);
    watchInterval_->setValue(InRange(kWatchInterval, watchInterval) ? watchInterval : 0);
    upDown_->SetRange(kTimeLag.min, kTimeLag.max);
    // No profile (the defaults): what a new profile gets; a stored profile
    // without the value: plain FTP. A value out of range shows as explicit TLS.
    const int32_t security = values.security.value_or(profile ? 0 : SchemaValue("FTP_SECURITY").number);
    security_->setCurrentIndex(InRange(SchemaValue("FTP_SECURITY"), security) ? security : 1);
    passive_->setChecked(values.passive.value_or(1) != 0);
    tlsKey_ = ToQString(values.pinnedKey.value_or(""));
    sshKey_ = ToQString(values.sshHostKey.value_or(""));
    sshKeyFile_->setText(ToQString(values.sshKeyFile.value_or("")));
    ShowKindControls();
}

bool DetailDialog::SftpChosen() const {
    return security_->currentIndex() == kSftp;
}

void DetailDialog::ShowKindControls() {
    const bool sftp = SftpChosen();
    pinnedKey_->setText(sftp ? sshKey_ : tlsKey_);
    pinnedKey_->setPlaceholderText(sftp ? Tr("なし (~/.ssh/known_hosts で確認します)")
                                        : Tr("なし (信頼できる認証局で確認します)"));
    removePinnedKey_->setEnabled(!pinnedKey_->text().isEmpty());
    // Disabled, not hidden: their values are kept and saved as they are.
    passive_->setEnabled(!sftp);
    sshKeyFile_->setEnabled(sftp);
    chooseSshKeyFile_->setEnabled(sftp);
}

void DetailDialog::RemoveShownKey() {
    modified_ = true;
    if (SftpChosen()) {
        sshKeyRemoved_ = true;
        sshKey_.clear();
    } else {
        tlsKeyRemoved_ = true;
        tlsKey_.clear();
    }
    ShowKindControls();
}

std::optional<QString> DetailDialog::ChooseKeyFile(const QString& start) {
    QFileDialog dialog(this, Tr("秘密鍵ファイルの選択"), start);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setFilter(dialog.filter() | QDir::Hidden);  // ~/.ssh from the home directory
    if (QFileInfo(start).isFile())
        dialog.selectFile(start);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().constFirst();
}

void DetailDialog::ChooseSshKeyFile() {
    // The chosen file when it is there, else ~/.ssh, else the home directory.
    QString start = sshKeyFile_->text();
    if (start.isEmpty() || !QFileInfo(start).isFile()) {
        const QString sshDir = QDir::home().filePath(".ssh");
        start = QFileInfo(sshDir).isDir() ? sshDir : QDir::homePath();
    }
    if (const std::optional<QString> chosen = ChooseKeyFile(start))
        sshKeyFile_->setText(*chosen);
}

void DetailDialog::accept() {
    if (!modified_) {
        QDialog::accept();
        return;
    }
    const std::string lagText = timeLag_->text().toStdString();
    if (const int message = CheckValue(kTimeLag, lagText)) {
        boxes_.Show(this, TableText(message));
        return;
    }
    // Only for SFTP: the field cannot be edited for the other kinds.
    const QString keyFile = sshKeyFile_->text();
    if (SftpChosen() && !keyFile.isEmpty()) {
        const QFileInfo info(keyFile);
        if (!info.isFile() || !info.isReadable()) {
            const QByteArray path = keyFile.toUtf8();
            boxes_.Show(this, QString::fromStdString(FormatText(StringUtf8(msg::kSshKeyFileUnreadable),
                                                                {std::string_view(path.data(), path.size())})));
            sshKeyFile_->setFocus();
            return;
        }
    }
    if (!profileName_.empty()) {
        const auto removed = [](bool flag) { return flag ? std::optional<std::string>("") : std::nullopt; };
        store_.SaveDetailSettings(
            profileName_, {.timeLag = *ParseDecimalInt(lagText),
                           .asciiTransfer = ToBytes(asciiTransfer_->text(), SchemaValue("ASCII_TRANSFER").maxBytes),
                           .fileTransfer = ToBytes(fileTransfer_->text(), SchemaValue("FILE_TRANSFER").maxBytes),
                           .transferBoth = transferBoth_->isChecked(),
                           .mirrorFiles = mirrorFiles_->isChecked(),
                           .mirrorDirs = mirrorDirs_->isChecked(),
                           .maxDelete = maxDeleteMode_->currentIndex() == kLimitNumber ? maxDelete_->value()
                                        : maxDeleteMode_->currentIndex() == kLimitNone ? 0
                                                                                       : -1,
                           .security = security_->currentIndex(),
                           .passive = passive_->isChecked(),
                           .pinnedKey = removed(tlsKeyRemoved_),
                           .parallel = parallel_->value(),
                           .uploadTemp = uploadTemp_->isChecked(),
                           .sshKeyFile = ToBytes(keyFile, kSshKeyFile.maxBytes),
                           .sshHostKey = removed(sshKeyRemoved_),
                           .watchServerInterval = watchInterval_->value()});
    }
    QDialog::accept();
}

}  // namespace kestrum
