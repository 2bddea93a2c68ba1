#pragma once
// The setup dialog: creates, deletes, selects and edits profiles. Pending
// edits are saved silently before anything else happens (new profile,
// another selection, closing); a failed check keeps the edited profile.

#include <QDialog>
#include <QString>
#include <optional>
#include <string>

#include "profiles/profile_schema.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

namespace kestrum {

class MessageBoxes;
class ProfileStore;

class SetupDialog : public QDialog {
  public:
    // exec() returns Accepted when a profile was created or deleted, else Rejected.
    SetupDialog(ProfileStore& store, MessageBoxes& boxes, const std::string& selectedProfile,
                QWidget* parent = nullptr);

    // Close, Escape and the close box all end here: pending edits are saved first.
    void accept() override;
    void reject() override;

  protected:
    // The sub-dialogs, each run modally; tests replace them.
    // The new profile's name (already created in the store), or nullopt on Cancel.
    virtual std::optional<std::string> AskNewProfile();
    virtual void EditProxySettings(const std::string& profile);
    virtual void EditDetailSettings(const std::string& profile);
    // The chosen directory, or nullopt on Cancel.
    virtual std::optional<QString> ChooseDirectory(const QString& start);

    ProfileStore& store_;
    MessageBoxes& boxes_;

  private:
    void BuildControls();
    void OnNew();
    void OnDelete();
    void OnSelectionChanged(int index);
    void OnBrowse();
    void TryClose();

    void LoadFields(const std::string& name);
    // The fields as the store saves them.
    GeneralSettings FieldValues() const;
    // Shows the message of a failed check; true when the fields are valid.
    bool CheckFields();
    void SavePendingEdits();

    std::string EntryName(int index) const;
    std::string SelectedName() const;
    int AddEntry(const std::string& name);
    // First entry beginning with name (letters without case), or -1.
    int FindPrefix(const std::string& name) const;
    // Selects the first entry beginning with name, else the first entry; no selection event.
    void SelectEntry(const std::string& name);

    const std::string mainSelectedProfile_;
    std::string editedProfile_;
    bool modified_ = false;
    bool listChanged_ = false;

    QComboBox* profiles_;      // 1006
    QLineEdit* host_;          // 1007
    QLineEdit* user_;          // 1010
    QCheckBox* anonymous_;     // 1011
    QLineEdit* password_;      // 1012
    QCheckBox* savePassword_;  // 1013
    QLineEdit* remoteDir_;     // 1014
    QLineEdit* localDir_;      // 1015
    QPushButton* browse_;      // 1039
    QCheckBox* subdirs_;       // 1016
    QCheckBox* upload_;        // 1018
    QCheckBox* download_;      // 1017
};

}  // namespace kestrum
