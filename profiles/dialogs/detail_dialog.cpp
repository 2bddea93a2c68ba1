#include "profiles/dialogs/detail_dialog.h"

#include <algorithm>

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QToolButton>
#include <QVBoxLayout>

#include "profiles/dialogs/field_helpers.h"
#include "profiles/dialogs/message_box.h"
#include "profiles/dialogs/qt_text.h"
#include "profiles/profile_store.h"
#include "res/message_ids.h"

namespace kestrum {

namespace {
constexpr const ProfileValue& kTimeLag = SchemaValue("TIME_LAG");
constexpr const ProfileValue& kParallel = SchemaValue("PARALLEL");
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

    auto* mirroring = new QGroupBox(Tr("ミラーリングの設定"), this);
    mirrorFiles_ = new QCheckBox(Tr("サーバーのファイル削除 (アップロードのみ)(&U)"), mirroring);
    mirrorFiles_->setObjectName("1056");
    mirrorDirs_ = new QCheckBox(Tr("サーバーのディレクトリ削除 (アップロードのみ)(&D)"), mirroring);
    mirrorDirs_->setObjectName("1057");
    // Deletions beyond this many wait for a confirmation; the lowest value is "automatic".
    maxDelete_ = new QSpinBox(mirroring);
    maxDelete_->setObjectName("maxDelete");
    maxDelete_->setRange(-1, 1'000'000);
    maxDelete_->setSpecialValueText(Tr("自動 (50 件またはファイル数の 4 分の 1)"));
    auto* maxDeleteLabel = new QLabel(Tr("確認なしに削除する上限 (0 は無制限)(&M) ："), mirroring);
    maxDeleteLabel->setBuddy(maxDelete_);
    auto* mirroringLayout = new QVBoxLayout(mirroring);
    mirroringLayout->addWidget(mirrorFiles_);
    mirroringLayout->addWidget(mirrorDirs_);
    mirroringLayout->addWidget(maxDeleteLabel);
    mirroringLayout->addWidget(maxDelete_);

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
    fields->setColumnMinimumWidth(1, 200);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addWidget(transferBoth_);
    layout->addWidget(mirroring);
    layout->addWidget(buttons);

    // Connected before the stored values are shown: showing them is a change too.
    for (QLineEdit* field : {asciiTransfer_, fileTransfer_, timeLag_}) {
        connect(field, &QLineEdit::textChanged, this, [this] { modified_ = true; });
    }
    connect(transferBoth_, &QCheckBox::clicked, this, [this] { modified_ = true; });
    connect(mirrorDirs_, &QCheckBox::clicked, this, [this] { modified_ = true; });
    connect(maxDelete_, &QSpinBox::valueChanged, this, [this] { modified_ = true; });
    connect(parallel_, &QSpinBox::valueChanged, this, [this] { modified_ = true; });
    connect(mirrorFiles_, &QCheckBox::clicked, this, [this](bool checked) {
        modified_ = true;
        mirrorDirs_->setEnabled(checked);  // keeps its tick while disabled
    });

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
    mirrorFiles_->setChecked(values.mirroringFile.value_or(0) != 0);
    mirrorDirs_->setChecked(values.mirroringDir.value_or(0) != 0);
    mirrorDirs_->setEnabled(mirrorFiles_->isChecked());
    maxDelete_->setValue(std::max(values.maxDelete.value_or(-1), -1));
    // Missing or out of range (by hand in the store): what a run uses then.
    const int32_t parallel = values.parallel.value_or(kParallel.number);
    parallel_->setValue(InRange(kParallel, parallel) ? parallel : kParallel.number);
    upDown_->SetRange(kTimeLag.min, kTimeLag.max);
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
    if (!profileName_.empty()) {
        store_.SaveDetailSettings(
            profileName_, {.timeLag = *ParseDecimalInt(lagText),
                           .asciiTransfer = ToBytes(asciiTransfer_->text(), SchemaValue("ASCII_TRANSFER").maxBytes),
                           .fileTransfer = ToBytes(fileTransfer_->text(), SchemaValue("FILE_TRANSFER").maxBytes),
                           .transferBoth = transferBoth_->isChecked(),
                           .mirrorFiles = mirrorFiles_->isChecked(),
                           .mirrorDirs = mirrorDirs_->isChecked(),
                           .maxDelete = maxDelete_->value(),
                           .parallel = parallel_->value()});
    }
    QDialog::accept();
}

}  // namespace kestrum
