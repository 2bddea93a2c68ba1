#pragma once
// The detail dialog: the ASCII and excluded extensions, the allowed time
// difference, the both-sides rule, uploads through a temporary name, the
// mirroring options, and the connection: its kind (FTP, FTP over TLS or
// SFTP), the pinned server key of that kind, the SFTP key file and the
// transfer mode of one profile.

#include <QDialog>
#include <QString>
#include <optional>
#include <string>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace kestrum {

class MessageBoxes;
class ProfileStore;
class UpDownControl;

class DetailDialog : public QDialog {
  public:
    // An empty profile name (the setup dialog without profiles) shows the
    // defaults and writes nothing at OK.
    DetailDialog(ProfileStore& store, MessageBoxes& boxes, const std::string& profileName, QWidget* parent = nullptr);

    void accept() override;

  protected:
    // The key file picked in a file dialog opened at start, or nullopt on
    // Cancel; tests replace it.
    virtual std::optional<QString> ChooseKeyFile(const QString& start);

  private:
    void LoadValues();
    void ChooseSshKeyFile();
    void RemoveShownKey();
    // The pinned key of the chosen kind, and which controls apply to it.
    void ShowKindControls();
    bool SftpChosen() const;

    ProfileStore& store_;
    MessageBoxes& boxes_;
    std::string profileName_;
    bool modified_ = false;

    QLineEdit* asciiTransfer_;  // 1052
    QLineEdit* fileTransfer_;   // 1053
    QLineEdit* timeLag_;        // 1054
    UpDownControl* upDown_;     // 1055
    QCheckBox* transferBoth_;   // 1058
    QCheckBox* uploadTemp_;     // UPLOAD_TEMP
    QCheckBox* mirrorFiles_;    // 1056
    QCheckBox* mirrorDirs_;     // 1057
    QComboBox* maxDeleteMode_;  // MAX_DELETE: automatic, a number, no limit
    QSpinBox* maxDelete_;       // the number
    QComboBox* security_;       // FTP_SECURITY: the connection kind
    QCheckBox* passive_;
    QLineEdit* pinnedKey_;  // the pinned key of the chosen kind
    QPushButton* removePinnedKey_;
    QLineEdit* sshKeyFile_;  // SSH_KEY_FILE
    QPushButton* chooseSshKeyFile_;
    // The stored pinned keys; a removed one is written as "" at OK, the other is left alone.
    QString tlsKey_;  // TLS_PINNED_KEY
    QString sshKey_;  // SSH_HOST_KEY
    bool tlsKeyRemoved_ = false;
    bool sshKeyRemoved_ = false;
    QSpinBox* parallel_;       // PARALLEL
    QSpinBox* watchInterval_;  // WATCH_SERVER_INTERVAL
};

}  // namespace kestrum
