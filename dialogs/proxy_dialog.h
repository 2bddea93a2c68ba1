#pragma once
// The proxy dialog: PROXY_ON, PROXY_NAME and PORT of one profile, plus the
// hidden connection type that is carried from opening to OK.

#include <QDialog>
#include <string>

class QCheckBox;
class QLineEdit;
class QRadioButton;

namespace kestrum {

class MessageBoxes;
class ProfileStore;

class ProxyDialog : public QDialog {
  public:
    // An empty profile name (the setup dialog without profiles) shows the
    // defaults and writes nothing at OK.
    ProxyDialog(ProfileStore& store, MessageBoxes& boxes, const std::string& profileName, QWidget* parent = nullptr);

    void accept() override;

  private:
    void LoadValues();
    void UpdateEnabled();

    ProfileStore& store_;
    MessageBoxes& boxes_;
    std::string profileName_;
    bool modified_ = false;

    QCheckBox* useProxy_;    // 1048
    QLineEdit* proxyName_;   // 1049
    QLineEdit* port_;        // 1008
    QRadioButton* default_;  // 1045
    QRadioButton* dialUp_;   // 1046
    QRadioButton* lan_;      // 1047
};

}  // namespace kestrum
