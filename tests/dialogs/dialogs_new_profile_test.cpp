// The new-profile dialog with setting.ini beside the store (Program is the
// test's KESTRUM_HOME).
#include <QLabel>
#include <QTest>
#include <cstring>

#include "dialogs/new_profile_dialog.h"
#include "res/strings.h"
#include "tests/dialogs/dialogs_fixture.h"
#include "tests/support/unwritable.h"

namespace kestrum::test {
namespace {

class NewProfileDialogTest : public DialogTest {
  protected:
    std::string settingIni = home / "setting.ini";

    static QComboBox* NameField(QWidget* d) { return Find<QComboBox>(d, "1022"); }
    // Types the name and presses OK; true when the dialog ended with OK.
    bool Create(NewProfileDialog& dialog, const QString& name) {
        NameField(&dialog)->setEditText(name);
        Click(&dialog, "1");
        return dialog.result() == QDialog::Accepted && !dialog.isVisible();
    }
};

TEST_F(NewProfileDialogTest, OffersTheReadyMadeNamesSortedOnOneLine) {
    WriteFile(settingIni,
              "Before\n[PROFILE]\nZeta\nalpha\n \n\xe3\x82\xa6\xe3\x82\xa7\xe3\x83\x96\nBeta\n"
              "[Zeta]\nSERVER=z.example");
    NewProfileDialog dialog(store, boxes);
    EXPECT_TRUE(NameField(&dialog)->isEditable());
    // A single space is a name; without a final empty line the list runs to the end.
    EXPECT_EQ(Items(NameField(&dialog)),
              QStringList({" ", "[Zeta]", "alpha", "Beta", "SERVER=z.example", "Zeta", QString::fromUtf8("ウェブ")}));
    EXPECT_EQ(NameField(&dialog)->currentIndex(), -1);
    EXPECT_EQ(NameField(&dialog)->currentText(), "");
    EXPECT_TRUE(shown.empty());

    // The prompt stays on one line.
    dialog.show();
    ASSERT_FALSE(dialog.findChildren<QLabel*>().isEmpty());
    for (QLabel* label : dialog.findChildren<QLabel*>()) {
        EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(label->text()));
        EXPECT_LT(label->height(), 2 * label->fontMetrics().height());
    }
}

TEST_F(NewProfileDialogTest, OkChecksTheNameInOrder) {
    ASSERT_TRUE(store.CreateProfile("Existing"));
    NewProfileDialog dialog(store, boxes);
    dialog.show();
    const std::string before = StoreText();
    // 21 bytes are too long before the comma is looked at; seven characters of three bytes are 21 bytes.
    for (const char* name : {"", "abcdefghij,klmnopqrst", "a,b", "EXISTING", "あいうえおかき"})
        EXPECT_FALSE(Create(dialog, name)) << name;
    EXPECT_EQ(TakeMessages(), Messages({42780, 60040, 42791, 42782, 60040}));
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(StoreText(), before);

    // Exactly 20 bytes, spaces and punctuation kept as typed.
    const QString name = "あいうえお 1.2a";
    EXPECT_TRUE(Create(dialog, name));
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(dialog.Name(), name.toStdString());
    EXPECT_EQ(store.ReadProfileList(), std::vector<std::string>({"Existing", name.toStdString()}));
}

TEST_F(NewProfileDialogTest, ASectionOfSettingIniFillsHostAndRemoteDirectory) {
    // How setting.ini is read is the auto-setup reader's business: here only
    // that the typed name's section reaches the new profile ("shop" is not "Shop").
    WriteFile(settingIni, "[PROFILE]\nWeb\n\n[Web]\nSERVER=web.example\nREMOTE_DIR=/htdocs\n\n[Shop]\nSERVER=shop\n");
    for (const auto& [name, host, remote] : {std::tuple{"Web", "web.example", "/htdocs"}, {"shop", "", ""}}) {
        NewProfileDialog dialog(store, boxes);
        ASSERT_TRUE(Create(dialog, name)) << name;
        EXPECT_EQ(store.ReadString(name, "HOST"), host) << name;
        EXPECT_EQ(store.ReadString(name, "REMOTE_DIRECTORY"), remote) << name;
    }
    // A listed name is checked like a typed one.
    NewProfileDialog dialog(store, boxes);
    NameField(&dialog)->setCurrentIndex(NameField(&dialog)->findText("Web"));
    Click(&dialog, "1");
    EXPECT_EQ(TakeMessages(), Messages({42782}));
    EXPECT_EQ(store.ReadProfileList().size(), 2u);
}

TEST_F(NewProfileDialogTest, CancelWritesNothingAndAMissingProgramMakesOkDoNothing) {
    WriteFile(settingIni, "[PROFILE]\nWeb\n\n[Web]\nSERVER=web.example\n");
    const std::string before = StoreText();
    for (const bool escape : {false, true}) {
        NewProfileDialog dialog(store, boxes);
        dialog.show();
        NameField(&dialog)->setEditText("Web");
        escape ? QTest::keyClick(&dialog, Qt::Key_Escape) : Click(&dialog, "2");
        EXPECT_EQ(dialog.result(), QDialog::Rejected);
    }
    EXPECT_EQ(StoreText(), before);

    // Without Program: no list, and OK neither creates nor says anything.
    std::string text = StoreText();
    const size_t line = text.find("Program=");
    ASSERT_NE(line, std::string::npos);
    text.erase(line, text.find('\n', line) + 1 - line);
    WriteFile(storePath, text);
    ASSERT_EQ(store.ReadGlobalString("Program"), std::nullopt);
    NewProfileDialog dialog(store, boxes);
    dialog.show();
    EXPECT_EQ(NameField(&dialog)->count(), 0);
    EXPECT_FALSE(Create(dialog, "Web"));
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(shown.empty());
    EXPECT_TRUE(store.ReadProfileList().empty());
    // The name checks still come first.
    EXPECT_FALSE(Create(dialog, ""));
    EXPECT_EQ(TakeMessages(), Messages({42780}));
}

TEST_F(NewProfileDialogTest, AStoreThatCannotBeUpdatedSaysWhyAndCancels) {
    const std::string before = StoreText();
    Unwritable guard(storePath);
    if (!guard.ok())
        GTEST_SKIP() << "the store file cannot be made unwritable here";
    const int error = access(storePath.c_str(), W_OK) == 0 ? 0 : errno;
    NewProfileDialog dialog(store, boxes);
    dialog.show();
    EXPECT_FALSE(Create(dialog, "Blocked"));
    EXPECT_EQ(TakeMessages(), std::vector<QString>{ToQString(FormatString(60712, {storePath, std::strerror(error)}))});
    EXPECT_EQ(Outcome(dialog), QDialog::Rejected);
    EXPECT_EQ(StoreText(), before);
}

}  // namespace
}  // namespace kestrum::test
