#include "dialogs/proxy_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "dialogs/field_helpers.h"
#include "dialogs/message_box.h"
#include "profiles/profile_store.h"

namespace kestrum {

namespace {
// Shown for a profile without PORT.
constexpr int32_t kPortWhenMissing = 23;
}  // namespace

ProxyDialog::ProxyDialog(ProfileStore& store, MessageBoxes& boxes, const std::string& profileName, QWidget* parent)
    : QDialog(parent), store_(store), boxes_(boxes), profileName_(profileName) {
    setWindowTitle(Tr("プロキシ設定"));

    useProxy_ = new QCheckBox(Tr("プロキシを使用(&P)"), this);
    useProxy_->setObjectName("1048");
    proxyName_ = new QLineEdit(this);
    proxyName_->setObjectName("1049");
    LimitBytes(proxyName_, SchemaValue("PROXY_NAME").maxBytes);
    port_ = new QLineEdit(this);
    port_->setObjectName("1008");
    MakeDigitsOnly(port_);
    auto* nameLabel = new QLabel(Tr("プロキシ(&S) ："), this);
    nameLabel->setBuddy(proxyName_);
    auto* portLabel = new QLabel(Tr("ポート(&N) ："), this);
    portLabel->setBuddy(port_);

    // The connection type is never shown; the buttons only carry the stored value.
    auto* connection = new QGroupBox(Tr("接続方法"), this);
    default_ = new QRadioButton(Tr("デフォルト"), connection);
    default_->setObjectName("1045");
    dialUp_ = new QRadioButton(Tr("ダイアルアップ"), connection);
    dialUp_->setObjectName("1046");
    lan_ = new QRadioButton(Tr("LAN"), connection);
    lan_->setObjectName("1047");
    auto* connectionLayout = new QVBoxLayout(connection);
    for (QRadioButton* button : {default_, dialUp_, lan_})
        connectionLayout->addWidget(button);
    connection->hide();

    QDialogButtonBox* buttons = MakeOkCancelButtons(this);

    auto* fields = new QGridLayout;
    fields->addWidget(useProxy_, 0, 0, 1, 2);
    fields->addWidget(nameLabel, 1, 0);
    fields->addWidget(proxyName_, 1, 1);
    fields->addWidget(portLabel, 2, 0);
    fields->addWidget(port_, 2, 1);
    fields->setColumnMinimumWidth(1, 220);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addWidget(connection);
    layout->addWidget(buttons);

    // Connected before the stored values are shown: showing them is a change too.
    connect(proxyName_, &QLineEdit::textChanged, this, [this] { modified_ = true; });
    connect(port_, &QLineEdit::textChanged, this, [this] { modified_ = true; });
    for (QAbstractButton* button : {static_cast<QAbstractButton*>(default_), static_cast<QAbstractButton*>(dialUp_),
                                    static_cast<QAbstractButton*>(lan_)}) {
        connect(button, &QAbstractButton::clicked, this, [this] { modified_ = true; });
    }
    connect(useProxy_, &QCheckBox::clicked, this, [this] {
        modified_ = true;
        UpdateEnabled();
    });

    LoadValues();
}

void ProxyDialog::LoadValues() {
    std::optional<Profile> profile;
    if (!profileName_.empty())
        profile = store_.LoadProfile(profileName_);
    const Profile values = profile.value_or(Profile{});

    proxyName_->setText(ToQString(values.proxyName.value_or("")));
    port_->setText(QString::number(values.port.value_or(kPortWhenMissing)));
    const int32_t type = values.connectionType.value_or(0);
    (type == 1 ? dialUp_ : type == 2 ? lan_ : default_)->setChecked(true);
    useProxy_->setChecked(values.proxyOn.value_or(0) != 0);
    UpdateEnabled();
}

void ProxyDialog::UpdateEnabled() {
    proxyName_->setEnabled(useProxy_->isChecked());
    port_->setEnabled(useProxy_->isChecked());
}

void ProxyDialog::accept() {
    if (!modified_) {
        QDialog::accept();
        return;
    }
    ProxySettings settings;
    settings.proxyOn = useProxy_->isChecked();
    settings.proxyName = ToBytes(proxyName_->text(), SchemaValue("PROXY_NAME").maxBytes);
    const std::string portText = port_->text().toStdString();
    if (const int message = CheckProxySettings(settings.proxyOn, settings.proxyName, portText)) {
        boxes_.Show(this, TableText(message));
        return;
    }
    // Without the proxy, a field that holds no valid port stores the default.
    if (CheckValue(SchemaValue("PORT"), portText) == 0)
        settings.port = *ParseDecimalInt(portText);
    settings.connectionType = default_->isChecked() ? 0 : dialUp_->isChecked() ? 1 : lan_->isChecked() ? 2 : 0;
    if (!profileName_.empty())
        store_.SaveProxySettings(profileName_, settings);
    QDialog::accept();
}

}  // namespace kestrum
