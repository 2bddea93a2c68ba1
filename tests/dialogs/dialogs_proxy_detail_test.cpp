// The proxy and detail dialogs on a real store file.
#include <QCheckBox>
#include <QSpinBox>
#include <QTest>
#include <QToolButton>
#include <cstdlib>
#include <optional>

#include "dialogs/detail_dialog.h"
#include "dialogs/proxy_dialog.h"
#include "res/message_ids.h"
#include "res/strings.h"
#include "tests/dialogs/dialogs_fixture.h"

namespace kestrum::test {
namespace {

class SubDialogTest : public DialogTest {
  protected:
    // Cancel and Escape after an edit, and OK with the empty name (the setup
    // dialog without profiles), leave the store as it was.
    template <class Dialog>
    void ExpectCancelWritesNothing(const char* field) {
        ASSERT_TRUE(store.CreateProfile("P"));
        const std::string before = StoreText();
        for (const bool escape : {false, true}) {
            Dialog dialog(store, boxes, "P");
            dialog.show();
            SetText(&dialog, field, "x");
            escape ? QTest::keyClick(&dialog, Qt::Key_Escape) : Click(&dialog, "2");
            EXPECT_EQ(Outcome(dialog), QDialog::Rejected);
        }
        Dialog unnamed(store, boxes, "");
        Click(&unnamed, "1");
        EXPECT_EQ(unnamed.result(), QDialog::Accepted);
        EXPECT_EQ(StoreText(), before);
    }
};
using ProxyDialogTest = SubDialogTest;
using DetailDialogTest = SubDialogTest;

// The detail dialog with its key file chooser answered by the test.
class KeyFileDetailDialog : public DetailDialog {
  public:
    using DetailDialog::DetailDialog;
    std::vector<QString> starts;    // where each chooser opened
    std::optional<QString> chosen;  // nullopt: Cancel

  protected:
    std::optional<QString> ChooseKeyFile(const QString& start) override {
        starts.push_back(start);
        return chosen;
    }
};

// HOME set to a directory until the end of the scope, then as it was.
class ScopedHome {
  public:
    explicit ScopedHome(const std::string& dir) {
        if (const char* home = std::getenv("HOME"))
            saved_ = home;
        setenv("HOME", dir.c_str(), 1);
    }
    ~ScopedHome() { saved_ ? setenv("HOME", saved_->c_str(), 1) : unsetenv("HOME"); }
    ScopedHome(const ScopedHome&) = delete;
    ScopedHome& operator=(const ScopedHome&) = delete;

  private:
    std::optional<std::string> saved_;
};

TEST_F(ProxyDialogTest, ShowsStoredValuesAndDefaults) {
    ASSERT_TRUE(store.CreateProfile("Fresh"));
    ASSERT_TRUE(store.CreateProfile("Proxied"));
    ASSERT_TRUE(store.WriteProfileValues("Proxied", {{"PROXY_ON", int32_t{1}},
                                                     {"PROXY_NAME", std::string("proxy.example:8080")},
                                                     {"CONNECTION_TYPE", int32_t{2}}}));
    WriteFile(storePath, StoreText() + "\n[NoPortAtAll]\nHOST=h\n[Negative]\nPORT=-5\n");
    const struct {
        const char* profile;
        QStringList portAndName;
        std::string ticks;  // the proxy box, then connection types 0, 1, 2
    } cases[] = {
        {"Fresh", {"21", ""}, "0100"},  // a new profile stores 21
        {"Proxied", {"21", "proxy.example:8080"}, "1001"},
        {"NoPortAtAll", {"23", ""}, "0100"},  // a profile key without PORT
        {"Nowhere", {"23", ""}, "0100"},      // a profile that does not exist
        {"Negative", {"-5", ""}, "0100"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.profile);
        ProxyDialog dialog(store, boxes, c.profile);
        EXPECT_EQ(Texts(&dialog, {"1008", "1049"}), c.portAndName);
        EXPECT_EQ(Ticks(&dialog, {"1048", "1045", "1046", "1047"}), c.ticks);
        EXPECT_EQ(Enabled(&dialog, "1008"), c.ticks[0] == '1');
        EXPECT_EQ(Enabled(&dialog, "1049"), c.ticks[0] == '1');
    }
    ProxyDialog dialog(store, boxes, "Negative");
    dialog.show();
    EXPECT_FALSE(Find<QWidget>(&dialog, "1045")->isVisible());
    EXPECT_FALSE(Find<QWidget>(&dialog, "1046")->isVisible());
    // Ticking the box enables both fields, clearing it disables them again.
    Click(&dialog, "1048");
    EXPECT_TRUE(Enabled(&dialog, "1049") && Enabled(&dialog, "1008"));
    Click(&dialog, "1048");
    EXPECT_FALSE(Enabled(&dialog, "1049"));
    Click(&dialog, "1");  // proxy off: an invalid port becomes 21
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(store.ReadDword("Negative", "PORT"), 21);
    EXPECT_TRUE(shown.empty());
}

TEST_F(ProxyDialogTest, OkChecksTheProxyAndStoresTheValues) {
    ASSERT_TRUE(store.CreateProfile("P"));
    ProxyDialog dialog(store, boxes, "P");
    dialog.show();
    const std::string before = StoreText();
    Click(&dialog, "1048");
    Click(&dialog, "1");  // the name is checked first
    SetText(&dialog, "1049", "proxy.local");
    for (const char* port : {"0", ""}) {
        SetText(&dialog, "1008", port);
        Click(&dialog, "1");
    }
    EXPECT_EQ(TakeMessages(), Messages({57692, 57691, 57691}));
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(StoreText(), before);                   // a refused OK writes nothing
    EXPECT_EQ(Text(&dialog, "1049"), "proxy.local");  // and leaves the fields as they were

    // Only digits can be typed into the port field.
    QTest::keyClicks(Find<QLineEdit>(&dialog, "1008"), "8a-0x8");
    EXPECT_EQ(Text(&dialog, "1008"), "808");
    Click(&dialog, "1");
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(Outcome(dialog), QDialog::Accepted);
    EXPECT_EQ(Dwords("P", {"PROXY_ON", "PORT", "CONNECTION_TYPE"}), std::vector<int32_t>({1, 808, 0}));
    EXPECT_EQ(store.ReadString("P", "PROXY_NAME"), "proxy.local");
}

TEST_F(ProxyDialogTest, ProxyOffStoresPort21ForAnEmptyPortAndCarriesTheConnectionType) {
    ASSERT_TRUE(store.CreateProfile("P"));
    ASSERT_TRUE(store.WriteProfileValues("P", {{"CONNECTION_TYPE", int32_t{5}}, {"PORT", int32_t{2121}}}));
    ProxyDialog edited(store, boxes, "P");
    SetText(&edited, "1049", "kept.anyway");
    SetText(&edited, "1008", "");
    Click(&edited, "1");
    EXPECT_EQ(edited.result(), QDialog::Accepted);
    EXPECT_TRUE(shown.empty());
    // Connection type 5 is written back as 0.
    EXPECT_EQ(Dwords("P", {"PORT", "PROXY_ON", "CONNECTION_TYPE"}), std::vector<int32_t>({21, 0, 0}));
    EXPECT_EQ(store.ReadString("P", "PROXY_NAME"), "kept.anyway");

    // Dial-up survives an OK without any edit (showing the values counts as one).
    ASSERT_TRUE(store.WriteProfileValues("P", {{"CONNECTION_TYPE", int32_t{1}}, {"PORT", int32_t{990}}}));
    ProxyDialog unedited(store, boxes, "P");
    EXPECT_EQ(Ticks(&unedited, {"1046"}), "1");
    Click(&unedited, "1");
    EXPECT_EQ(Dwords("P", {"CONNECTION_TYPE", "PORT"}), std::vector<int32_t>({1, 990}));
}

TEST_F(ProxyDialogTest, CancelEscapeAndTheEmptyNameWriteNothing) {
    ExpectCancelWritesNothing<ProxyDialog>("1049");
}

TEST_F(DetailDialogTest, ShowsTheTimeLagAsStoredOrThreeAndOkRefusesOnesOutsideOneToHundred) {
    WriteFile(storePath, StoreText() + "\n[NoLag]\nHOST=h\n");
    DetailDialog noLag(store, boxes, "NoLag");
    EXPECT_EQ(Texts(&noLag, {"1054", "1052"}), QStringList({"3", ""}));
    EXPECT_FALSE(Enabled(&noLag, "1057"));
    ASSERT_TRUE(store.CreateProfile("D"));
    const std::pair<int32_t, const char*> cases[] = {{0, "3"}, {-4, "3"}, {1, "1"}, {100, "100"}, {150, "150"}};
    for (const auto& [stored, shownText] : cases) {
        ASSERT_TRUE(store.WriteDword("D", "TIME_LAG", stored));
        DetailDialog dialog(store, boxes, "D");
        EXPECT_EQ(Text(&dialog, "1054"), shownText) << stored;
    }

    // Stored 150: OK is refused until the lag is within range.
    const std::string before = StoreText();
    DetailDialog dialog(store, boxes, "D");
    dialog.show();
    auto* lag = Find<QLineEdit>(&dialog, "1054");
    auto* ok = Find<QPushButton>(&dialog, "1");
    EXPECT_EQ(Texts(&dialog, {"1052", "1053"}), QStringList({"HTML,HTM,TXT", "BAK"}));

    ok->click();
    lag->clear();
    ok->click();
    lag->setText("0");
    ok->click();
    EXPECT_EQ(TakeMessages(), Messages({57693, 57693, 57693}));
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(StoreText(), before);

    QTest::keyClicks(lag, "x9");  // digits only: "0" + "9"
    EXPECT_EQ(lag->text(), "09");
    SetText(&dialog, "1052", "HTML,CSS");
    SetText(&dialog, "1053", "");
    Click(&dialog, "1058");
    ok->click();
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(Dwords("D", {"TIME_LAG", "TRANSFER_BOTH", "MIRRORING_FILE", "MIRRORING_DIR"}),
              std::vector<int32_t>({9, 1, 0, 0}));
    EXPECT_EQ(store.ReadString("D", "ASCII_TRANSFER"), "HTML,CSS");
    EXPECT_EQ(store.ReadString("D", "FILE_TRANSFER"), "");
}

TEST_F(DetailDialogTest, UpDownStepsWithinOneToHundred) {
    ASSERT_TRUE(store.CreateProfile("D"));
    ASSERT_TRUE(store.WriteDword("D", "TIME_LAG", 99));
    DetailDialog dialog(store, boxes, "D");
    dialog.show();
    auto* lag = Find<QLineEdit>(&dialog, "1054");
    auto* up = Find<QToolButton>(&dialog, "1055_up");
    auto* down = Find<QToolButton>(&dialog, "1055_down");
    up->click();
    EXPECT_EQ(lag->text(), "100");
    up->click();
    EXPECT_EQ(lag->text(), "100");
    lag->setText("2");
    down->click();
    down->click();
    EXPECT_EQ(lag->text(), "1");
    QTest::keyClick(lag, Qt::Key_Up);
    QTest::keyClick(lag, Qt::Key_Up);
    EXPECT_EQ(lag->text(), "3");
    QTest::keyClick(lag, Qt::Key_Down);
    EXPECT_EQ(lag->text(), "2");
    // A number beyond the range is not taken over: stepping starts from the last position.
    lag->setText("150");
    down->click();
    EXPECT_EQ(lag->text(), "1");
}

TEST_F(DetailDialogTest, MirroringDirectoriesFollowsMirroringFiles) {
    ASSERT_TRUE(store.CreateProfile("D"));
    ASSERT_TRUE(store.WriteProfileValues("D", {{"MIRRORING_FILE", int32_t{1}}, {"MIRRORING_DIR", int32_t{0}}}));
    DetailDialog first(store, boxes, "D");
    EXPECT_EQ(Ticks(&first, {"1056", "1057"}), "10");
    EXPECT_TRUE(Enabled(&first, "1057"));
    Click(&first, "1057");
    Click(&first, "1056");
    EXPECT_FALSE(Enabled(&first, "1057"));
    EXPECT_EQ(Ticks(&first, {"1056", "1057"}), "01");  // keeps its tick while disabled
    Click(&first, "1");
    EXPECT_EQ(Dwords("D", {"MIRRORING_FILE", "MIRRORING_DIR"}), std::vector<int32_t>({0, 1}));
    DetailDialog again(store, boxes, "D");
    EXPECT_EQ(Ticks(&again, {"1057"}), "1");
    EXPECT_FALSE(Enabled(&again, "1057"));
    Click(&again, "1056");
    EXPECT_TRUE(Enabled(&again, "1057"));
}

TEST_F(DetailDialogTest, CancelEscapeAndTheEmptyNameWriteNothing) {
    ExpectCancelWritesNothing<DetailDialog>("1052");
}

TEST_F(DetailDialogTest, ListsAreCutTo254BytesWithoutSplittingACharacter) {
    ASSERT_TRUE(store.CreateProfile("D"));
    // 100 characters of three bytes each: 84 of them fit into 254 bytes.
    const QString longList(100, QChar(0x3042));
    DetailDialog dialog(store, boxes, "D");
    SetText(&dialog, "1053", longList);
    Click(&dialog, "1");
    EXPECT_EQ(QString::fromStdString(store.ReadString("D", "FILE_TRANSFER").value_or("")), longList.left(84));
}

TEST_F(DetailDialogTest, TheDeletionLimitsThreeChoicesRoundTripThroughTheStore) {
    // The choices: 0 automatic, 1 a number, 2 no limit.
    const struct {
        std::optional<int32_t> stored;  // nullopt: never set
        int shownChoice;
        int chosen;
        const char* typed;  // the number, when one is typed
        int32_t saved;
    } cases[] = {
        {std::nullopt, 0, 1, "7", 7},
        {-1, 0, 2, nullptr, 0},
        {25, 1, 0, nullptr, -1},
        {0, 2, 1, "120", 120},
        {2'000'000, 1, 1, "2147483647", 2'147'483'647},  // as far as the store goes
    };
    for (const auto& c : cases) {
        const std::string name = "D" + std::to_string(c.saved);
        ASSERT_TRUE(store.CreateProfile(name));
        ASSERT_TRUE(!c.stored || store.WriteDword(name, "MAX_DELETE", *c.stored));
        DetailDialog dialog(store, boxes, name);
        dialog.show();
        auto* choice = Find<QComboBox>(&dialog, "maxDeleteMode");
        auto* limit = Find<QSpinBox>(&dialog, "maxDelete");
        EXPECT_EQ(choice->currentIndex(), c.shownChoice) << name;
        EXPECT_EQ(limit->isEnabled(), c.shownChoice == 1) << name;
        if (c.shownChoice == 1) {
            EXPECT_EQ(limit->value(), *c.stored) << name;
        }
        choice->setCurrentIndex(c.chosen);
        EXPECT_EQ(limit->isEnabled(), c.chosen == 1) << name;
        if (c.typed != nullptr) {
            limit->setFocus();
            QTest::keyClick(limit, Qt::Key_A, Qt::ControlModifier);
            QTest::keyClicks(limit, c.typed);
        }
        Click(&dialog, "1");
        EXPECT_EQ(dialog.result(), QDialog::Accepted) << name;
        EXPECT_EQ(store.ReadDword(name, "MAX_DELETE"), c.saved) << name;
    }
    EXPECT_TRUE(shown.empty());
}

TEST_F(DetailDialogTest, ConnectionSettingsShowTheStoredChoicesAndStoreTheNewOnes) {
    // A profile made before TLS holds none of the values: plain FTP, passive.
    ASSERT_TRUE(store.SaveGeneralSettings("old", {.host = "example.org", .user = "u", .localDir = "/tmp"}));
    ASSERT_TRUE(store.CreateProfile("pinned"));
    ASSERT_TRUE(store.WriteString("pinned", "TLS_PINNED_KEY", "sha256//abc="));
    ASSERT_TRUE(store.WriteDword("pinned", "UPLOAD_TEMP", 0));
    // Both show passive mode on; each clears it. Each turns uploads through a temporary name over.
    const struct {
        const char* name;
        int shownSecurity;
        const char* shownKey;
        int chosenSecurity;
        bool removeKey;
        std::optional<std::string> storedKey;  // nullopt: never written
        int chosenParallel;
        bool shownUploadTemp;  // a profile without the value: on
    } cases[] = {
        {"old", 0, "", 2, false, std::nullopt, 1, true},
        {"pinned", 1, "sha256//abc=", 1, true, "", 8, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DetailDialog dialog(store, boxes, c.name);
        dialog.show();
        auto* security = Find<QComboBox>(&dialog, "ftpSecurity");
        auto* passive = Find<QCheckBox>(&dialog, "passive");
        EXPECT_EQ(security->currentIndex(), c.shownSecurity);
        EXPECT_TRUE(passive->isChecked());
        EXPECT_EQ(Text(&dialog, "pinnedKey"), QString(c.shownKey));
        EXPECT_EQ(Enabled(&dialog, "removePinnedKey"), *c.shownKey != 0);
        // Connections for the copies: 4 unless stored otherwise.
        auto* parallel = Find<QSpinBox>(&dialog, "parallel");
        EXPECT_EQ(parallel->value(), 4);
        parallel->setValue(c.chosenParallel);
        Find<QSpinBox>(&dialog, "watchInterval")->setValue(c.chosenParallel * 5);
        security->setCurrentIndex(c.chosenSecurity);
        QTest::mouseClick(passive, Qt::LeftButton, {}, QPoint(5, passive->height() / 2));
        if (c.removeKey)
            Click(&dialog, "removePinnedKey");
        // Tab goes as the screen reads: the time lag, the connection count, the
        // watch interval, the both-sides rule; the last box leads to the buttons.
        auto tabFrom = [&](QWidget* from) {
            from->setFocus();
            QTest::keyClick(from, Qt::Key_Tab);
            return dialog.focusWidget();
        };
        auto* watchInterval = Find<QSpinBox>(&dialog, "watchInterval");
        EXPECT_EQ(tabFrom(Find<QLineEdit>(&dialog, "1054")), parallel);
        EXPECT_EQ(tabFrom(parallel), watchInterval);
        EXPECT_EQ(tabFrom(watchInterval), Find<QCheckBox>(&dialog, "1058"));
        EXPECT_NE(tabFrom(passive), parallel);
        // Next to the both-sides rule, on screen and on Tab.
        auto* uploadTemp = Find<QCheckBox>(&dialog, "uploadTemp");
        EXPECT_EQ(Find<QCheckBox>(&dialog, "1058")->nextInFocusChain(), uploadTemp);
        EXPECT_EQ(uploadTemp->isChecked(), c.shownUploadTemp);
        QTest::mouseClick(uploadTemp, Qt::LeftButton, {}, QPoint(5, uploadTemp->height() / 2));
        Click(&dialog, "1");
        EXPECT_EQ(Dwords(c.name, {"FTP_SECURITY", "PASSIVE", "PARALLEL", "UPLOAD_TEMP", "WATCH_SERVER_INTERVAL"}),
                  std::vector<int32_t>(
                      {c.chosenSecurity, 0, c.chosenParallel, c.shownUploadTemp ? 0 : 1, c.chosenParallel * 5}));
        EXPECT_EQ(store.ReadString(c.name, "TLS_PINNED_KEY", 254), c.storedKey);
    }
    EXPECT_TRUE(shown.empty());
}

TEST_F(DetailDialogTest, TheConnectionKindShowsItsOwnPinnedKeyAndRemovesOnlyThatOne) {
    const std::string tls = "sha256//tls=", ssh = "SHA256:ssh";
    const std::string key = home / "id_ed25519";
    WriteFile(key, "key");
    const struct {
        int32_t stored;  // FTP_SECURITY
        int chosen;
        bool remove;  // the key shown after the choice
        std::string shownBefore, shownAfter;
        std::string tlsKept, sshKept;  // the values after OK
    } cases[] = {
        {0, 0, true, tls, tls, "", ssh},  // plain FTP shows the TLS key, as before SFTP
        {1, 3, true, tls, ssh, tls, ""},
        {3, 2, true, ssh, tls, "", ssh},
        {3, 3, false, ssh, ssh, tls, ssh},
    };
    for (const auto& c : cases) {
        const std::string name = "K" + std::to_string(&c - cases);
        SCOPED_TRACE(name);
        // Only SFTP reads the key file: the FTP kinds keep a missing one and do not object.
        const std::string keyFile = c.chosen == 3 ? key : home / "missing";
        ASSERT_TRUE(store.WriteProfileValues(name, {{"FTP_SECURITY", c.stored},
                                                    {"PASSIVE", int32_t{0}},
                                                    {"TLS_PINNED_KEY", tls},
                                                    {"SSH_HOST_KEY", ssh},
                                                    {"SSH_KEY_FILE", keyFile}}));
        DetailDialog dialog(store, boxes, name);
        dialog.show();
        EXPECT_EQ(Text(&dialog, "pinnedKey").toStdString(), c.shownBefore);
        Find<QComboBox>(&dialog, "ftpSecurity")->setCurrentIndex(c.chosen);
        EXPECT_EQ(Text(&dialog, "pinnedKey").toStdString(), c.shownAfter);
        EXPECT_TRUE(Enabled(&dialog, "removePinnedKey"));
        // Passive mode for the FTP kinds, the key file for SFTP: disabled, not hidden, and kept.
        const bool sftp = c.chosen == 3;
        EXPECT_EQ(Enabled(&dialog, "passive"), !sftp);
        EXPECT_EQ(Enabled(&dialog, "sshKeyFile"), sftp);
        EXPECT_EQ(Enabled(&dialog, "chooseSshKeyFile"), sftp);
        EXPECT_TRUE(Find<QWidget>(&dialog, "sshKeyFile")->isVisible());
        EXPECT_EQ(Text(&dialog, "sshKeyFile").toStdString(), keyFile);
        if (c.remove) {
            Click(&dialog, "removePinnedKey");
            EXPECT_EQ(Text(&dialog, "pinnedKey"), "");
            EXPECT_FALSE(Enabled(&dialog, "removePinnedKey"));
        }
        Click(&dialog, "1");
        EXPECT_EQ(Outcome(dialog), QDialog::Accepted);
        EXPECT_EQ(Dwords(name, {"FTP_SECURITY", "PASSIVE"}), std::vector<int32_t>({c.chosen, 0}));
        EXPECT_EQ(store.ReadString(name, "TLS_PINNED_KEY"), c.tlsKept);
        EXPECT_EQ(store.ReadString(name, "SSH_HOST_KEY"), c.sshKept);
        EXPECT_EQ(store.ReadString(name, "SSH_KEY_FILE", kListLimit), keyFile);
    }
    EXPECT_TRUE(shown.empty());
}

TEST_F(DetailDialogTest, TheSftpKeyFileIsChosenFromDotSshAndOkRefusesOneThatCannotBeRead) {
    const ScopedHome userHome(home.path());
    const std::string sshDir = home / ".ssh";
    const std::string key = sshDir + "/id_ed25519";
    WriteFile(key, "key");
    ASSERT_TRUE(store.CreateProfile("S"));
    KeyFileDetailDialog dialog(store, boxes, "S");
    dialog.show();
    Find<QComboBox>(&dialog, "ftpSecurity")->setCurrentIndex(3);
    EXPECT_EQ(Text(&dialog, "sshKeyFile"), "");
    Click(&dialog, "chooseSshKeyFile");  // Cancel
    EXPECT_EQ(Text(&dialog, "sshKeyFile"), "");
    dialog.chosen = QString::fromStdString(key);
    Click(&dialog, "chooseSshKeyFile");
    Click(&dialog, "chooseSshKeyFile");  // opens at the chosen file
    EXPECT_EQ(dialog.starts, std::vector<QString>({QString::fromStdString(sshDir), QString::fromStdString(sshDir),
                                                   QString::fromStdString(key)}));
    EXPECT_EQ(Text(&dialog, "sshKeyFile").toStdString(), key);

    // A missing file and a directory are refused with the path named; nothing is stored.
    const std::string before = StoreText();
    for (const std::string& unreadable : {home / "missing", sshDir}) {
        SetText(&dialog, "sshKeyFile", QString::fromStdString(unreadable));
        Click(&dialog, "1");
        EXPECT_EQ(TakeMessages(), std::vector<QString>({QString::fromStdString(
                                      FormatText(StringUtf8(msg::kSshKeyFileUnreadable), {unreadable}))}));
        EXPECT_EQ(Outcome(dialog), -1);
    }
    EXPECT_EQ(StoreText(), before);
    SetText(&dialog, "sshKeyFile", QString::fromStdString(key));
    Click(&dialog, "1");
    EXPECT_EQ(Outcome(dialog), QDialog::Accepted);
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(Dwords("S", {"FTP_SECURITY"}), std::vector<int32_t>({3}));
    EXPECT_EQ(store.ReadString("S", "SSH_KEY_FILE", kListLimit), key);
}

}  // namespace
}  // namespace kestrum::test
