// The setup dialog on a real store file; its sub-dialogs are answered by the
// test through the dialog's hooks (the new-profile dialog runs for real).
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <functional>

#include "dialogs/detail_dialog.h"
#include "dialogs/new_profile_dialog.h"
#include "dialogs/setup_dialog.h"
#include "tests/dialogs/dialogs_fixture.h"
#include "tests/support/profile_compare.h"

namespace kestrum::test {
namespace {

class ScriptedSetupDialog : public SetupDialog {
  public:
    using SetupDialog::SetupDialog;

    std::string newProfileName;  // typed into the real new-profile dialog; empty: Cancel
    int newProfileRuns = 0;
    std::vector<std::string> proxyRuns;
    std::vector<std::string> detailRuns;
    std::function<void(DetailDialog&)> detailScript;
    std::vector<QString> chooserStarts;
    std::optional<QString> chosenDirectory;

  protected:
    std::optional<std::string> AskNewProfile() override {
        ++newProfileRuns;
        NewProfileDialog dialog(store_, boxes_, this);
        if (newProfileName.empty()) {
            dialog.reject();
            return std::nullopt;
        }
        dialog.findChild<QComboBox*>("1022")->setEditText(QString::fromStdString(newProfileName));
        dialog.findChild<QPushButton*>("1")->click();
        if (dialog.result() != QDialog::Accepted)
            return std::nullopt;
        return dialog.Name();
    }
    void EditProxySettings(const std::string& profile) override { proxyRuns.push_back(profile); }
    void EditDetailSettings(const std::string& profile) override {
        detailRuns.push_back(profile);
        if (!detailScript)
            return;
        DetailDialog dialog(store_, boxes_, profile, this);
        detailScript(dialog);
    }
    std::optional<QString> ChooseDirectory(const QString& start) override {
        chooserStarts.push_back(start);
        return chosenDirectory;
    }
};

class SetupDialogTest : public DialogTest {
  protected:
    std::unique_ptr<ScriptedSetupDialog> Open(const std::string& selected) {
        auto dialog = std::make_unique<ScriptedSetupDialog>(store, boxes, selected);
        dialog->show();
        return dialog;
    }
    static QComboBox* List(QWidget* d) { return Find<QComboBox>(d, "1006"); }
    static QLineEdit* Field(QWidget* d, const char* id) { return Find<QLineEdit>(d, id); }
    static QCheckBox* Box(QWidget* d, const char* id) { return Find<QCheckBox>(d, id); }
    static QPushButton* Button(QWidget* d, const char* id) { return Find<QPushButton>(d, id); }
    static QStringList Entries(QWidget* d) {
        QStringList entries;
        for (int i = 0; i < List(d)->count(); ++i)
            entries << List(d)->itemText(i);
        return entries;
    }
};

TEST_F(SetupDialogTest, OpensOnTheMainWindowsProfileSortedAndLoaded) {
    MakeProfile("Gamma", "g.example");
    MakeProfile("alpha", "a.example");
    MakeProfile("Beta2", "b2.example");
    MakeProfile("beta", "b.example", "bob", "secret", "/home/bob");
    ASSERT_TRUE(store.SaveGeneralSettings("beta", {.host = "b.example",
                                                   .user = "bob",
                                                   .password = "secret",
                                                   .savePassword = true,
                                                   .localDir = "/home/bob",
                                                   .remoteDir = "/pub",
                                                   .subdirs = true,
                                                   .download = true}));
    const std::string before = StoreText();

    auto dialog = Open("BE");  // the first entry beginning with it, letters without case
    EXPECT_EQ(Entries(dialog.get()), QStringList({"alpha", "beta", "Beta2", "Gamma"}));
    EXPECT_FALSE(List(dialog.get())->isEditable());
    EXPECT_EQ(List(dialog.get())->currentText(), "beta");
    EXPECT_EQ(Field(dialog.get(), "1007")->text(), "b.example");
    EXPECT_EQ(Field(dialog.get(), "1010")->text(), "bob");
    EXPECT_EQ(Field(dialog.get(), "1012")->text(), "secret");
    EXPECT_EQ(Field(dialog.get(), "1012")->echoMode(), QLineEdit::Password);
    EXPECT_EQ(Field(dialog.get(), "1014")->text(), "/pub");
    EXPECT_EQ(Field(dialog.get(), "1015")->text(), "/home/bob");
    EXPECT_TRUE(Box(dialog.get(), "1013")->isChecked());
    EXPECT_TRUE(Box(dialog.get(), "1016")->isChecked());
    EXPECT_TRUE(Box(dialog.get(), "1017")->isChecked());
    EXPECT_FALSE(Box(dialog.get(), "1018")->isChecked());
    EXPECT_FALSE(Box(dialog.get(), "1011")->isEnabled());
    EXPECT_FALSE(Button(dialog.get(), "1039")->icon().isNull());

    // Closing without an edit neither checks nor saves.
    Button(dialog.get(), "1")->click();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(StoreText(), before);

    EXPECT_EQ(List(Open("").get())->currentText(), "alpha");
    EXPECT_EQ(List(Open("nothing like it").get())->currentText(), "alpha");
}

TEST_F(SetupDialogTest, WithoutProfilesTheFieldsAreEmptyAndClosingIsCancel) {
    auto dialog = Open("Old");
    EXPECT_EQ(List(dialog.get())->count(), 0);
    for (const char* id : {"1007", "1010", "1012", "1014", "1015"})
        EXPECT_EQ(Field(dialog.get(), id)->text(), "");
    Field(dialog.get(), "1007")->setText("typed");
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
    EXPECT_TRUE(shown.empty());
    EXPECT_TRUE(store.ReadProfileList().empty());
}

TEST_F(SetupDialogTest, ClosingChecksTheFieldsInOrderAndKeepsTheEditedProfile) {
    MakeProfile("A", "a.example");
    MakeProfile("B", "b.example");
    auto dialog = Open("B");
    QWidget* d = dialog.get();
    for (const char* id : {"1007", "1010", "1012", "1015", "1014"})
        Field(d, id)->clear();
    ASSERT_TRUE(Box(d, "1013")->isChecked());

    Button(d, "1")->click();
    Field(d, "1007")->setText("host");
    Button(d, "1")->click();
    Field(d, "1010")->setText("user");
    Button(d, "1")->click();
    Field(d, "1012")->setText("pw");
    Button(d, "1")->click();
    EXPECT_EQ(TakeMessages(), Messages({42783, 42786, 42787, 42788}));
    for (const ShownBox& box : shown)
        EXPECT_EQ(box.icon, BoxIcon::None);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(List(d)->currentText(), "B");
    EXPECT_EQ(store.ReadString("B", "HOST"), "b.example");

    // Cleared save-password box: no password needed. Server directory and
    // both directions may be empty.
    Box(d, "1013")->click();
    Field(d, "1012")->setText("");
    Field(d, "1015")->setText("/local");
    Box(d, "1018")->click();
    Button(d, "1")->click();
    EXPECT_TRUE(shown.empty());
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Rejected);  // nothing was created or deleted
    Profile expected = NewProfile("B");
    expected.host = "host";
    expected.user = "user";
    expected.savePassword = expected.checkUpload = 0;
    expected.password = std::nullopt;
    expected.localDir = "/local";
    EXPECT_EQ(ProfileDifferences(*store.LoadProfile("B"), expected), "");
    EXPECT_EQ(store.ReadString("B", "PSW"), "");
    EXPECT_EQ(store.ReadString("A", "HOST"), "a.example");
}

TEST_F(SetupDialogTest, ChoosingAnotherProfileSavesSilentlyOrIsRefused) {
    MakeProfile("A", "a.example");
    MakeProfile("B", "b.example");
    auto dialog = Open("A");
    QWidget* d = dialog.get();

    Field(d, "1007")->setText("a2.example");
    List(d)->setCurrentIndex(1);
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(store.ReadString("A", "HOST"), "a2.example");  // saved under the edited profile
    EXPECT_EQ(store.ReadString("B", "HOST"), "b.example");
    EXPECT_EQ(Field(d, "1007")->text(), "b.example");

    const std::string before = StoreText();
    Field(d, "1007")->clear();
    List(d)->setCurrentIndex(0);
    EXPECT_EQ(TakeMessages(), Messages({42783}));
    EXPECT_EQ(List(d)->currentText(), "B");   // back on the edited profile
    EXPECT_EQ(Field(d, "1007")->text(), "");  // the choice was not loaded
    EXPECT_EQ(StoreText(), before);

    // The edit stays pending: fixing it lets the next choice save it.
    Field(d, "1007")->setText("b2.example");
    List(d)->setCurrentIndex(0);
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(store.ReadString("B", "HOST"), "b2.example");
    EXPECT_EQ(Field(d, "1007")->text(), "a2.example");

    // A loaded profile is no edit: choosing back and forth writes nothing.
    const std::string settled = StoreText();
    List(d)->setCurrentIndex(1);
    List(d)->setCurrentIndex(0);
    EXPECT_EQ(StoreText(), settled);
}

TEST_F(SetupDialogTest, EscapeAndTheCloseBoxSavePendingEdits) {
    MakeProfile("A", "a.example");
    {
        auto dialog = Open("A");
        Field(dialog.get(), "1010")->setText("escaped");
        QTest::keyClick(dialog.get(), Qt::Key_Escape);
        EXPECT_FALSE(dialog->isVisible());
        EXPECT_EQ(dialog->result(), QDialog::Rejected);
    }
    EXPECT_EQ(store.ReadString("A", "USER"), "escaped");
    {
        auto dialog = Open("A");
        Box(dialog.get(), "1016")->click();  // a click on a box is an edit too
        EXPECT_TRUE(dialog->close());
        EXPECT_FALSE(dialog->isVisible());
    }
    EXPECT_EQ(store.ReadDword("A", "CHECK_SUB"), 1);
    {
        auto dialog = Open("A");
        Field(dialog.get(), "1015")->clear();
        EXPECT_FALSE(dialog->close());  // refused: the window stays
        QTest::keyClick(dialog.get(), Qt::Key_Escape);
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_EQ(TakeMessages(), Messages({42788, 42788}));
    }
    EXPECT_EQ(store.ReadString("A", "LOCAL_DIRECTORY"), "/data");
}

TEST_F(SetupDialogTest, TextsAreCutTo254BytesWithoutSplittingACharacter) {
    MakeProfile("A", "a.example");
    // A name of 20 bytes is loaded and saved under its full name.
    const std::string longName =
        "\xe3\x81\x82\xe3\x81\x84\xe3\x81\x86\xe3\x81\x88\xe3\x81\x8a"
        "12345";
    ASSERT_EQ(longName.size(), 20u);
    MakeProfile(longName, "l.example");
    auto dialog = Open(longName);
    QWidget* d = dialog.get();
    ASSERT_EQ(List(d)->currentText(), QString::fromStdString(longName));
    QString host;
    for (int i = 0; i < 90; ++i)
        host += QChar(0x30DB);  // 270 bytes
    Field(d, "1007")->setText(host);
    Field(d, "1014")->setText(QString(300, u'r'));
    Button(d, "1")->click();
    const auto storedHost = store.ReadString(longName, "HOST");
    ASSERT_TRUE(storedHost.has_value());
    EXPECT_EQ(QString::fromStdString(*storedHost), host.left(84));
    EXPECT_EQ(store.ReadString(longName, "REMOTE_DIRECTORY"), std::string(254, 'r'));

    // Typing stops at 254 bytes: a three-byte character no longer fits after 252.
    auto again = Open(longName);
    auto* user = Field(again.get(), "1010");
    user->setText(QString(252, u'u'));
    user->setFocus();
    QKeyEvent typed(QEvent::KeyPress, 0, Qt::NoModifier, QString::fromUtf8("ほ"));
    QApplication::sendEvent(user, &typed);
    QTest::keyClicks(user, "x");
    EXPECT_EQ(user->text(), QString(252, u'u') + "x");
    QTest::keyClicks(user, "yz");
    EXPECT_EQ(user->text().size(), 254);
}

TEST_F(SetupDialogTest, BrowseStartsAtTheLocalFieldAndAChosenDirectoryIsAnEdit) {
    MakeProfile("A", "a.example", "user", "pw", "/srv/site");
    {
        auto dialog = Open("A");
        Button(dialog.get(), "1039")->click();  // cancelled
        Button(dialog.get(), "1")->click();
        EXPECT_EQ(dialog->chooserStarts, std::vector<QString>({"/srv/site"}));
    }
    EXPECT_EQ(store.ReadString("A", "LOCAL_DIRECTORY"), "/srv/site");
    {
        auto dialog = Open("A");
        dialog->chosenDirectory = "/srv/site";  // the same text: still an edit
        ASSERT_TRUE(store.WriteString("A", "HOST", "changed.elsewhere"));
        Button(dialog.get(), "1039")->click();
        EXPECT_EQ(Field(dialog.get(), "1015")->text(), "/srv/site");
        Button(dialog.get(), "1")->click();
    }
    // Saved: the dialog's fields went back to the store over the outside change.
    EXPECT_EQ(store.ReadString("A", "HOST"), "a.example");
    {
        auto dialog = Open("A");
        dialog->chosenDirectory = "/srv/other";
        Button(dialog.get(), "1039")->click();
        QTest::keyClick(dialog.get(), Qt::Key_Escape);
    }
    EXPECT_EQ(store.ReadString("A", "LOCAL_DIRECTORY"), "/srv/other");

    // A path the store cannot hold whole is refused, not cut short.
    const std::string before = StoreText();
    auto dialog = Open("A");
    dialog->chosenDirectory = "/" + QString(254, u'd');
    Button(dialog.get(), "1039")->click();
    EXPECT_EQ(TakeMessages(), Messages({60400}));
    EXPECT_EQ(Field(dialog.get(), "1015")->text(), "/srv/other");
    Button(dialog.get(), "1")->click();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(StoreText(), before);
}

TEST_F(SetupDialogTest, NewProfileSavesPendingEditsFirstAndSelectsTheNewOne) {
    MakeProfile("Main", "m.example");
    auto dialog = Open("Main");
    QWidget* d = dialog.get();

    // An invalid pending edit stops New before the dialog opens.
    Field(d, "1010")->clear();
    dialog->newProfileName = "Second";
    Button(d, "1020")->click();
    EXPECT_EQ(TakeMessages(), Messages({42786}));
    EXPECT_EQ(dialog->newProfileRuns, 0);

    // A valid one is saved, then the new profile is created and selected.
    Field(d, "1010")->setText("newuser");
    Button(d, "1020")->click();
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(dialog->newProfileRuns, 1);
    EXPECT_EQ(store.ReadString("Main", "USER"), "newuser");
    EXPECT_EQ(Entries(d), QStringList({"Main", "Second"}));
    EXPECT_EQ(List(d)->currentText(), "Second");
    EXPECT_TRUE(Box(d, "1013")->isChecked());  // a fresh profile saves its password
    EXPECT_EQ(Field(d, "1012")->text(), "");
    EXPECT_EQ(Field(d, "1007")->text(), "");
    EXPECT_EQ(Field(d, "1010")->text(), "");  // no USER yet: shown empty

    // Cancelled: nothing changes.
    dialog->newProfileName.clear();
    Button(d, "1020")->click();
    EXPECT_EQ(Entries(d), QStringList({"Main", "Second"}));

    // Closing without an edit: no check, and OK because the list changed.
    dialog->close();
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(store.ReadProfileList(), std::vector<std::string>({"Main", "Second"}));
    EXPECT_EQ(store.ReadString("Second", "USER"), std::nullopt);
}

TEST_F(SetupDialogTest, AFreshProfileNeedsAPasswordBeforeClosing) {
    ASSERT_TRUE(store.CreateProfile("Fresh"));
    auto dialog = Open("Fresh");
    QWidget* d = dialog.get();
    Field(d, "1007")->setText("h");
    Field(d, "1010")->setText("u");
    Field(d, "1015")->setText("/l");
    Button(d, "1")->click();
    EXPECT_EQ(TakeMessages(), Messages({42787}));
    EXPECT_TRUE(dialog->isVisible());
    Field(d, "1012")->setText("p");
    Button(d, "1")->click();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(store.ReadDword("Fresh", "PSWSVD"), 1);
    EXPECT_NE(store.ReadString("Fresh", "PSW", 254), "p");  // kept scrambled
    EXPECT_EQ(store.LoadProfile("Fresh")->password, "p");
}

TEST_F(SetupDialogTest, DeleteAsksThenSelectsTheMainWindowsProfile) {
    MakeProfile("Main", "m.example");
    MakeProfile("b", "b.example");
    MakeProfile("C", "c.example");
    auto dialog = Open("C");
    QWidget* d = dialog.get();

    answers = {false};
    Button(d, "1019")->click();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, TableText(42789));
    EXPECT_EQ(shown[0].buttons, BoxButtons::OkCancel);
    EXPECT_EQ(shown[0].icon, BoxIcon::Exclamation);
    shown.clear();
    EXPECT_EQ(Entries(d).size(), 3);

    // Pending edits are not saved by a deletion.
    List(d)->setCurrentIndex(2);  // Main
    Field(d, "1007")->setText("never.saved");
    Button(d, "1019")->click();
    EXPECT_EQ(Entries(d), QStringList({"b", "C"}));
    EXPECT_FALSE(store.ProfileExists("Main"));
    EXPECT_EQ(store.ReadGlobalString("Profiles"), "b,C,");  // in the list's order
    EXPECT_EQ(List(d)->currentText(), "C");                 // the main window's profile
    EXPECT_EQ(Field(d, "1007")->text(), "c.example");

    // Deleting the main window's profile leaves the first entry selected.
    Button(d, "1019")->click();
    EXPECT_EQ(List(d)->currentText(), "b");
    EXPECT_EQ(Field(d, "1007")->text(), "b.example");
    Button(d, "1019")->click();
    EXPECT_EQ(List(d)->count(), 0);
    for (const char* id : {"1007", "1010", "1012", "1014", "1015"})
        EXPECT_EQ(Field(d, id)->text(), "");
    EXPECT_EQ(store.ReadGlobalString("Profiles"), "");
    // With the list empty, Delete still asks and changes nothing.
    Button(d, "1019")->click();
    EXPECT_EQ(TakeMessages(), Messages({42789, 42789, 42789, 42789}));
    dialog->close();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
}

TEST_F(SetupDialogTest, SubDialogsGetTheEditedProfileAndWriteOnTheirOwn) {
    MakeProfile("A", "a.example");
    auto dialog = Open("A");
    QWidget* d = dialog.get();
    Field(d, "1007")->setText("pending.example");
    dialog->detailScript = [](DetailDialog& detail) {
        detail.findChild<QLineEdit*>("1054")->setText("7");
        detail.findChild<QPushButton*>("1")->click();
    };
    Button(d, "1033")->click();
    Button(d, "1044")->click();
    EXPECT_EQ(dialog->detailRuns, std::vector<std::string>({"A"}));
    EXPECT_EQ(dialog->proxyRuns, std::vector<std::string>({"A"}));
    EXPECT_EQ(store.ReadDword("A", "TIME_LAG"), 7);          // at once
    EXPECT_EQ(store.ReadString("A", "HOST"), "a.example");   // the pending edit waits
    EXPECT_EQ(Field(d, "1007")->text(), "pending.example");  // untouched by the sub-dialog
    Button(d, "1")->click();
    EXPECT_EQ(store.ReadString("A", "HOST"), "pending.example");
    EXPECT_EQ(store.ReadDword("A", "TIME_LAG"), 7);
}

}  // namespace
}  // namespace kestrum::test
