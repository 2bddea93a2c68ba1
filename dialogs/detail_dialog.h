#pragma once
// The detail dialog: the ASCII and excluded extensions, the allowed time
// difference, the both-sides rule, uploads through a temporary name, the
// mirroring options, and the connection: TLS, the pinned server key and the
// transfer mode of one profile.

#include <QDialog>
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

  private:
    void LoadValues();

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
    QSpinBox* maxDelete_;
    QComboBox* security_;
    QCheckBox* passive_;
    QLineEdit* pinnedKey_;
    QPushButton* removePinnedKey_;
    bool pinnedKeyRemoved_ = false;
    QSpinBox* parallel_;  // PARALLEL
};

}  // namespace kestrum
