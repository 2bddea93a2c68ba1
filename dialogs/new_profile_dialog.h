#pragma once
// The new-profile dialog: asks for a name (typed, or one of the ready-made
// names of setting.ini), validates it and creates the profile in the store
// with the values of its setting.ini section.

#include <QDialog>
#include <string>

class QComboBox;

namespace kestrum {

class MessageBoxes;
class ProfileStore;

class NewProfileDialog : public QDialog {
  public:
    NewProfileDialog(ProfileStore& store, MessageBoxes& boxes, QWidget* parent = nullptr);

    // The created profile's name once the dialog has ended with Accepted.
    const std::string& Name() const { return name_; }

    void accept() override;

  private:
    ProfileStore& store_;
    MessageBoxes& boxes_;
    std::string name_;
    QComboBox* nameField_;  // 1022
};

}  // namespace kestrum
