// The setup dialog on a real store file; its sub-dialogs are answered by the
// test through the dialog's hooks (the new-profile dialog runs for real).
#include <QKeyEvent>
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
        if (newProfileName.empty())
            return std::nullopt;
        dialog.findChild<QComboBox*>("1022")->setEditText(QString::fromStdString(newProfileName));
        dialog.findChild<QPushButton*>("1")->click();
        return dialog.result() == QDialog::Accepted ? std::optional(dialog.Name()) : std::nullopt;
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

// Host, user, password, server directory, local directory.
const std::vector<const char*> kFields = {"1007", "1010", "1012", "1014", "1015"};

class SetupDialogTest : public DialogTest {
  protected:
    // A shown dialog on the store, kept until the test ends.
    ScriptedSetupDialog* Open(const std::string& selected) {
        opened.push_back(std::make_unique<ScriptedSetupDialog>(store, boxes, selected));
        opened.back()->show();
        return opened.back().get();
    }
    std::vector<std::unique_ptr<ScriptedSetupDialog>> opened;
    static QComboBox* List(QWidget* d) { return Find<QComboBox>(d, "1006"); }
};

TEST_F(SetupDialogTest, OpensOnTheMainWindowsProfileSortedAndLoaded) {
    for (const char* name : {"Gamma", "alpha", "Beta2", "beta"})
        MakeProfile(name, "x.example");
    ASSERT_TRUE(store.SaveGeneralSettings("beta", {.host = "b.example",
                                                   .user = "bob",
                                                   .password = "secret",
                                                   .savePassword = true,
                                                   .localDir = "/home/bob",
                                                   .remoteDir = "/pub",
                                                   .subdirs = true,
                                                   .download = true}));
    const std::string before = StoreText();

    auto* d = Open("BE");  // the first entry beginning with it, letters without case
    EXPECT_EQ(Items(List(d)), QStringList({"alpha", "beta", "Beta2", "Gamma"}));
    EXPECT_FALSE(List(d)->isEditable());
    EXPECT_EQ(List(d)->currentText(), "beta");
    EXPECT_EQ(Texts(d, kFields), QStringList({"b.example", "bob", "secret", "/pub", "/home/bob"}));
    EXPECT_EQ(Find<QLineEdit>(d, "1012")->echoMode(), QLineEdit::Password);
    EXPECT_EQ(Ticks(d, {"1013", "1016", "1017", "1018"}), "1110");
    EXPECT_FALSE(Enabled(d, "1011"));
    EXPECT_FALSE(Find<QPushButton>(d, "1039")->icon().isNull());

    // Closing without an edit neither checks nor saves.
    Click(d, "1");
    EXPECT_EQ(Outcome(*d), QDialog::Rejected);
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(StoreText(), before);

    EXPECT_EQ(List(Open(""))->currentText(), "alpha");
    EXPECT_EQ(List(Open("nothing like it"))->currentText(), "alpha");
}

TEST_F(SetupDialogTest, WithoutProfilesTheFieldsAreEmptyAndClosingIsCancel) {
    auto* d = Open("Old");
    EXPECT_EQ(List(d)->count(), 0);
    EXPECT_EQ(Texts(d, kFields), QStringList(5, ""));
    SetText(d, "1007", "typed");
    QTest::keyClick(d, Qt::Key_Escape);
    EXPECT_EQ(Outcome(*d), QDialog::Rejected);
    EXPECT_TRUE(shown.empty());
    EXPECT_TRUE(store.ReadProfileList().empty());
}

TEST_F(SetupDialogTest, ClosingChecksTheFieldsInOrderAndKeepsTheEditedProfile) {
    MakeProfile("A", "a.example");
    MakeProfile("B", "b.example");
    auto* d = Open("B");
    for (const char* id : kFields)
        SetText(d, id, "");
    ASSERT_EQ(Ticks(d, {"1013"}), "1");

    for (const auto& [id, text] : {std::pair{"1007", "host"}, {"1010", "user"}, {"1012", "pw"}}) {
        Click(d, "1");
        SetText(d, id, text);
    }
    Click(d, "1");
    for (const ShownBox& box : shown)
        EXPECT_EQ(box.icon, BoxIcon::None);
    EXPECT_EQ(TakeMessages(), Messages({42783, 42786, 42787, 42788}));
    EXPECT_TRUE(d->isVisible());
    EXPECT_EQ(List(d)->currentText(), "B");
    EXPECT_EQ(store.ReadString("B", "HOST"), "b.example");

    // Cleared save-password box: no password needed. Server directory and
    // both directions may be empty.
    Click(d, "1013");
    SetText(d, "1012", "");
    SetText(d, "1015", "/local");
    Click(d, "1018");
    Click(d, "1");
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(Outcome(*d), QDialog::Rejected);  // nothing was created or deleted
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
    auto* d = Open("A");

    SetText(d, "1007", "a2.example");
    List(d)->setCurrentIndex(1);
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(store.ReadString("A", "HOST"), "a2.example");  // saved under the edited profile
    EXPECT_EQ(store.ReadString("B", "HOST"), "b.example");
    EXPECT_EQ(Text(d, "1007"), "b.example");

    const std::string before = StoreText();
    SetText(d, "1007", "");
    List(d)->setCurrentIndex(0);
    EXPECT_EQ(TakeMessages(), Messages({42783}));
    EXPECT_EQ(List(d)->currentText(), "B");  // back on the edited profile
    EXPECT_EQ(Text(d, "1007"), "");          // the choice was not loaded
    EXPECT_EQ(StoreText(), before);

    // The edit stays pending: fixing it lets the next choice save it.
    SetText(d, "1007", "b2.example");
    List(d)->setCurrentIndex(0);
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(store.ReadString("B", "HOST"), "b2.example");
    EXPECT_EQ(Text(d, "1007"), "a2.example");

    // A loaded profile is no edit: choosing back and forth writes nothing.
    const std::string settled = StoreText();
    List(d)->setCurrentIndex(1);
    List(d)->setCurrentIndex(0);
    EXPECT_EQ(StoreText(), settled);
}

TEST_F(SetupDialogTest, EscapeAndTheCloseBoxSavePendingEdits) {
    MakeProfile("A", "a.example");
    auto* d = Open("A");
    SetText(d, "1010", "escaped");
    QTest::keyClick(d, Qt::Key_Escape);
    EXPECT_EQ(Outcome(*d), QDialog::Rejected);
    EXPECT_EQ(store.ReadString("A", "USER"), "escaped");
    d = Open("A");
    Click(d, "1016");  // a click on a box is an edit too
    EXPECT_TRUE(d->close());
    EXPECT_EQ(store.ReadDword("A", "CHECK_SUB"), 1);
    d = Open("A");
    SetText(d, "1015", "");
    EXPECT_FALSE(d->close());  // refused: the window stays
    QTest::keyClick(d, Qt::Key_Escape);
    EXPECT_TRUE(d->isVisible());
    EXPECT_EQ(TakeMessages(), Messages({42788, 42788}));
    EXPECT_EQ(store.ReadString("A", "LOCAL_DIRECTORY"), "/data");
}

TEST_F(SetupDialogTest, TextsAreCutTo254BytesWithoutSplittingACharacter) {
    MakeProfile("A", "a.example");
    // A name of 20 bytes is loaded and saved under its full name.
    const std::string longName = "あいうえお12345";
    MakeProfile(longName, "l.example");
    auto* d = Open(longName);
    ASSERT_EQ(List(d)->currentText(), QString::fromStdString(longName));
    const QString host(90, QChar(0x30DB));  // 270 bytes
    SetText(d, "1007", host);
    SetText(d, "1014", QString(300, u'r'));
    Click(d, "1");
    EXPECT_EQ(QString::fromStdString(store.ReadString(longName, "HOST").value_or("")), host.left(84));
    EXPECT_EQ(store.ReadString(longName, "REMOTE_DIRECTORY"), std::string(254, 'r'));

    // Typing stops at 254 bytes: a three-byte character no longer fits after 252.
    auto* again = Open(longName);
    auto* user = Find<QLineEdit>(again, "1010");
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
    auto* d = Open("A");
    d->chosenDirectory = "/srv/site";  // the same text: still an edit
    ASSERT_TRUE(store.WriteString("A", "HOST", "changed.elsewhere"));
    Click(d, "1039");
    EXPECT_EQ(Text(d, "1015"), "/srv/site");
    Click(d, "1");
    // Saved: the dialog's fields went back to the store over the outside change.
    EXPECT_EQ(store.ReadString("A", "HOST"), "a.example");
    d = Open("A");
    d->chosenDirectory = "/srv/other";
    Click(d, "1039");
    QTest::keyClick(d, Qt::Key_Escape);
    EXPECT_EQ(store.ReadString("A", "LOCAL_DIRECTORY"), "/srv/other");

    // A cancelled choice, and a path the store cannot hold whole (refused, not cut short), are no edit.
    d = Open("A");
    ASSERT_TRUE(store.WriteString("A", "HOST", "changed.elsewhere"));
    const std::string before = StoreText();
    Click(d, "1039");
    d->chosenDirectory = "/" + QString(254, u'd');
    Click(d, "1039");
    EXPECT_EQ(TakeMessages(), Messages({60400}));
    EXPECT_EQ(d->chooserStarts, std::vector<QString>({"/srv/other", "/srv/other"}));  // the local field
    EXPECT_EQ(Text(d, "1015"), "/srv/other");
    Click(d, "1");
    EXPECT_FALSE(d->isVisible());
    EXPECT_EQ(StoreText(), before);
}

TEST_F(SetupDialogTest, NewProfileSavesPendingEditsFirstSelectsTheNewOneAndNeedsItsPassword) {
    MakeProfile("Main", "m.example");
    auto* d = Open("Main");

    // An invalid pending edit stops New before the dialog opens.
    SetText(d, "1010", "");
    d->newProfileName = "Second";
    Click(d, "1020");
    EXPECT_EQ(TakeMessages(), Messages({42786}));
    EXPECT_EQ(d->newProfileRuns, 0);

    // A valid one is saved, then the new profile is created and selected.
    SetText(d, "1010", "newuser");
    Click(d, "1020");
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(d->newProfileRuns, 1);
    EXPECT_EQ(store.ReadString("Main", "USER"), "newuser");
    EXPECT_EQ(Items(List(d)), QStringList({"Main", "Second"}));
    EXPECT_EQ(List(d)->currentText(), "Second");
    EXPECT_EQ(Ticks(d, {"1013"}), "1");                                 // a fresh profile saves its password
    EXPECT_EQ(Texts(d, {"1007", "1010", "1012"}), QStringList(3, ""));  // no USER yet: shown empty

    // Cancelled: nothing changes.
    d->newProfileName.clear();
    Click(d, "1020");
    EXPECT_EQ(Items(List(d)), QStringList({"Main", "Second"}));

    // Closing without an edit: no check, and OK because the list changed.
    d->close();
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(d->result(), QDialog::Accepted);
    EXPECT_EQ(store.ReadProfileList(), std::vector<std::string>({"Main", "Second"}));
    EXPECT_EQ(store.ReadString("Second", "USER"), std::nullopt);

    // The fresh profile needs a password before closing, and keeps it scrambled.
    d = Open("Second");
    for (const auto& [id, text] : {std::pair{"1007", "h"}, {"1010", "u"}, {"1015", "/l"}})
        SetText(d, id, text);
    Click(d, "1");
    EXPECT_EQ(TakeMessages(), Messages({42787}));
    EXPECT_TRUE(d->isVisible());
    SetText(d, "1012", "p");
    Click(d, "1");
    EXPECT_FALSE(d->isVisible());
    EXPECT_EQ(store.ReadDword("Second", "PSWSVD"), 1);
    EXPECT_NE(store.ReadString("Second", "PSW", 254), "p");
    EXPECT_EQ(store.LoadProfile("Second")->password, "p");
}

TEST_F(SetupDialogTest, DeleteAsksThenSelectsTheMainWindowsProfile) {
    MakeProfile("Main", "m.example");
    MakeProfile("b", "b.example");
    MakeProfile("C", "c.example");
    auto* d = Open("C");

    answers = {false};
    Click(d, "1019");
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, TableText(42789));
    EXPECT_EQ(shown[0].buttons, BoxButtons::OkCancelRisky);
    EXPECT_EQ(shown[0].icon, BoxIcon::Exclamation);
    shown.clear();
    EXPECT_EQ(List(d)->count(), 3);

    // Pending edits are not saved by a deletion.
    List(d)->setCurrentIndex(2);  // Main
    SetText(d, "1007", "never.saved");
    Click(d, "1019");
    EXPECT_EQ(Items(List(d)), QStringList({"b", "C"}));
    EXPECT_FALSE(store.ProfileExists("Main"));
    EXPECT_EQ(store.ReadGlobalString("Profiles"), "b,C,");  // in the list's order
    EXPECT_EQ(List(d)->currentText(), "C");                 // the main window's profile
    EXPECT_EQ(Text(d, "1007"), "c.example");

    // Deleting the main window's profile leaves the first entry selected.
    Click(d, "1019");
    EXPECT_EQ(List(d)->currentText(), "b");
    EXPECT_EQ(Text(d, "1007"), "b.example");
    Click(d, "1019");
    EXPECT_EQ(List(d)->count(), 0);
    EXPECT_EQ(Texts(d, kFields), QStringList(5, ""));
    EXPECT_EQ(store.ReadGlobalString("Profiles"), "");
    // With the list empty, Delete still asks and changes nothing.
    Click(d, "1019");
    EXPECT_EQ(TakeMessages(), Messages({42789, 42789, 42789, 42789}));
    d->close();
    EXPECT_EQ(Outcome(*d), QDialog::Accepted);
}

TEST_F(SetupDialogTest, SubDialogsGetTheEditedProfileAndWriteOnTheirOwn) {
    MakeProfile("A", "a.example");
    auto* d = Open("A");
    SetText(d, "1007", "pending.example");
    d->detailScript = [](DetailDialog& detail) {
        detail.findChild<QLineEdit*>("1054")->setText("7");
        detail.findChild<QPushButton*>("1")->click();
    };
    Click(d, "1033");
    Click(d, "1044");
    EXPECT_EQ(d->detailRuns, std::vector<std::string>({"A"}));
    EXPECT_EQ(d->proxyRuns, std::vector<std::string>({"A"}));
    EXPECT_EQ(store.ReadDword("A", "TIME_LAG"), 7);         // at once
    EXPECT_EQ(store.ReadString("A", "HOST"), "a.example");  // the pending edit waits
    EXPECT_EQ(Text(d, "1007"), "pending.example");          // untouched by the sub-dialog
    Click(d, "1");
    EXPECT_EQ(store.ReadString("A", "HOST"), "pending.example");
    EXPECT_EQ(store.ReadDword("A", "TIME_LAG"), 7);
}

}  // namespace
}  // namespace kestrum::test
