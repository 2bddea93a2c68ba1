// The proxy and detail dialogs on a real store file.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>
#include <QToolButton>
#include <optional>

#include "dialogs/detail_dialog.h"
#include "dialogs/proxy_dialog.h"
#include "tests/dialogs/dialogs_fixture.h"

namespace kestrum::test {
namespace {

using ProxyDialogTest = DialogTest;
using DetailDialogTest = DialogTest;

TEST_F(ProxyDialogTest, ShowsStoredValuesAndDefaults) {
    ASSERT_TRUE(store.CreateProfile("Fresh"));
    ASSERT_TRUE(store.CreateProfile("Proxied"));
    ASSERT_TRUE(store.WriteProfileValues("Proxied", {{"PROXY_ON", int32_t{1}},
                                                     {"PROXY_NAME", std::string("proxy.example:8080")},
                                                     {"CONNECTION_TYPE", int32_t{2}}}));

    {
        ProxyDialog dialog(store, boxes, "Fresh");
        EXPECT_EQ(Find<QLineEdit>(&dialog, "1008")->text(), "21");  // a new profile stores 21
        EXPECT_FALSE(Find<QCheckBox>(&dialog, "1048")->isChecked());
        EXPECT_FALSE(Find<QLineEdit>(&dialog, "1049")->isEnabled());
        EXPECT_FALSE(Find<QLineEdit>(&dialog, "1008")->isEnabled());
        EXPECT_TRUE(Find<QRadioButton>(&dialog, "1045")->isChecked());
        dialog.show();
        EXPECT_FALSE(Find<QRadioButton>(&dialog, "1045")->isVisible());
        EXPECT_FALSE(Find<QRadioButton>(&dialog, "1046")->isVisible());
        // Ticking the box enables both fields, clearing it disables them again.
        Find<QCheckBox>(&dialog, "1048")->click();
        EXPECT_TRUE(Find<QLineEdit>(&dialog, "1049")->isEnabled());
        EXPECT_TRUE(Find<QLineEdit>(&dialog, "1008")->isEnabled());
        Find<QCheckBox>(&dialog, "1048")->click();
        EXPECT_FALSE(Find<QLineEdit>(&dialog, "1049")->isEnabled());
    }
    {
        ProxyDialog dialog(store, boxes, "Proxied");
        EXPECT_EQ(Find<QLineEdit>(&dialog, "1049")->text(), "proxy.example:8080");
        EXPECT_TRUE(Find<QCheckBox>(&dialog, "1048")->isChecked());
        EXPECT_TRUE(Find<QLineEdit>(&dialog, "1008")->isEnabled());
        EXPECT_TRUE(Find<QRadioButton>(&dialog, "1047")->isChecked());
        EXPECT_EQ(Find<QLineEdit>(&dialog, "1008")->text(), "21");
    }
    // A profile key without PORT shows 23; a negative port keeps its sign.
    WriteFile(storePath, StoreText() + "\n[NoPortAtAll]\nHOST=h\n[Negative]\nPORT=-5\n");
    {
        ProxyDialog dialog(store, boxes, "NoPortAtAll");
        EXPECT_EQ(Find<QLineEdit>(&dialog, "1008")->text(), "23");
        EXPECT_EQ(Find<QLineEdit>(&dialog, "1049")->text(), "");
    }
    {
        ProxyDialog dialog(store, boxes, "Negative");
        EXPECT_EQ(Find<QLineEdit>(&dialog, "1008")->text(), "-5");
        Find<QPushButton>(&dialog, "1")->click();  // proxy off: an invalid port becomes 21
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
        EXPECT_EQ(store.ReadDword("Negative", "PORT"), 21);
    }
    {
        // A profile that does not exist shows what a missing value shows.
        ProxyDialog dialog(store, boxes, "Nowhere");
        EXPECT_EQ(Find<QLineEdit>(&dialog, "1008")->text(), "23");
    }
    EXPECT_TRUE(shown.empty());
}

TEST_F(ProxyDialogTest, OkChecksTheProxyAndStoresTheValues) {
    ASSERT_TRUE(store.CreateProfile("P"));
    ProxyDialog dialog(store, boxes, "P");
    dialog.show();
    auto* useProxy = Find<QCheckBox>(&dialog, "1048");
    auto* name = Find<QLineEdit>(&dialog, "1049");
    auto* port = Find<QLineEdit>(&dialog, "1008");
    auto* ok = Find<QPushButton>(&dialog, "1");
    const std::string before = StoreText();

    useProxy->click();
    ok->click();
    EXPECT_EQ(TakeMessages(), Messages({57692}));  // the name first
    EXPECT_TRUE(dialog.isVisible());

    name->setText("proxy.local");
    port->setText("0");
    ok->click();
    EXPECT_EQ(TakeMessages(), Messages({57691}));
    port->clear();
    ok->click();
    EXPECT_EQ(TakeMessages(), Messages({57691}));
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(StoreText(), before);          // a refused OK writes nothing
    EXPECT_EQ(name->text(), "proxy.local");  // and leaves the fields as they were

    // Only digits can be typed into the port field.
    QTest::keyClicks(port, "8a-0x8");
    EXPECT_EQ(port->text(), "808");
    ok->click();
    EXPECT_TRUE(shown.empty());
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(store.ReadDword("P", "PROXY_ON"), 1);
    EXPECT_EQ(store.ReadString("P", "PROXY_NAME"), "proxy.local");
    EXPECT_EQ(store.ReadDword("P", "PORT"), 808);
    EXPECT_EQ(store.ReadDword("P", "CONNECTION_TYPE"), 0);
}

TEST_F(ProxyDialogTest, ProxyOffStoresPort21ForAnEmptyPortAndCarriesTheConnectionType) {
    ASSERT_TRUE(store.CreateProfile("P"));
    ASSERT_TRUE(store.WriteProfileValues("P", {{"CONNECTION_TYPE", int32_t{5}}, {"PORT", int32_t{2121}}}));
    {
        ProxyDialog dialog(store, boxes, "P");
        Find<QLineEdit>(&dialog, "1049")->setText("kept.anyway");
        Find<QLineEdit>(&dialog, "1008")->clear();
        Find<QPushButton>(&dialog, "1")->click();
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
    }
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(store.ReadDword("P", "PORT"), 21);
    EXPECT_EQ(store.ReadDword("P", "PROXY_ON"), 0);
    EXPECT_EQ(store.ReadString("P", "PROXY_NAME"), "kept.anyway");
    EXPECT_EQ(store.ReadDword("P", "CONNECTION_TYPE"), 0);  // 5 is written back as 0

    // Dial-up survives an OK without any edit (showing the values counts as one).
    ASSERT_TRUE(store.WriteProfileValues("P", {{"CONNECTION_TYPE", int32_t{1}}, {"PORT", int32_t{990}}}));
    {
        ProxyDialog dialog(store, boxes, "P");
        EXPECT_TRUE(Find<QRadioButton>(&dialog, "1046")->isChecked());
        Find<QPushButton>(&dialog, "1")->click();
    }
    EXPECT_EQ(store.ReadDword("P", "CONNECTION_TYPE"), 1);
    EXPECT_EQ(store.ReadDword("P", "PORT"), 990);
}

TEST_F(ProxyDialogTest, CancelEscapeAndTheEmptyNameWriteNothing) {
    ASSERT_TRUE(store.CreateProfile("P"));
    const std::string before = StoreText();
    {
        ProxyDialog dialog(store, boxes, "P");
        dialog.show();
        Find<QCheckBox>(&dialog, "1048")->click();
        Find<QLineEdit>(&dialog, "1049")->setText("x");
        Find<QPushButton>(&dialog, "2")->click();
        EXPECT_EQ(dialog.result(), QDialog::Rejected);
    }
    {
        ProxyDialog dialog(store, boxes, "P");
        dialog.show();
        Find<QLineEdit>(&dialog, "1049")->setText("x");
        QTest::keyClick(&dialog, Qt::Key_Escape);
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(dialog.result(), QDialog::Rejected);
    }
    {
        // The setup dialog without profiles passes the empty name.
        ProxyDialog dialog(store, boxes, "");
        Find<QPushButton>(&dialog, "1")->click();
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
    }
    EXPECT_EQ(StoreText(), before);
}

TEST_F(DetailDialogTest, ShowsTheTimeLagAsStoredOrThree) {
    ASSERT_TRUE(store.CreateProfile("D"));
    const std::pair<int32_t, const char*> cases[] = {{0, "3"}, {-4, "3"}, {150, "150"}, {1, "1"}, {100, "100"}};
    for (const auto& [stored, shownText] : cases) {
        ASSERT_TRUE(store.WriteDword("D", "TIME_LAG", stored));
        DetailDialog dialog(store, boxes, "D");
        EXPECT_EQ(Find<QLineEdit>(&dialog, "1054")->text(), shownText) << stored;
    }
    WriteFile(storePath, StoreText() + "\n[NoLag]\nHOST=h\n");
    DetailDialog dialog(store, boxes, "NoLag");
    EXPECT_EQ(Find<QLineEdit>(&dialog, "1054")->text(), "3");
    EXPECT_EQ(Find<QLineEdit>(&dialog, "1052")->text(), "");
    EXPECT_FALSE(Find<QCheckBox>(&dialog, "1057")->isEnabled());
}

TEST_F(DetailDialogTest, OkRefusesTimeLagsOutsideOneToHundred) {
    ASSERT_TRUE(store.CreateProfile("D"));
    ASSERT_TRUE(store.WriteDword("D", "TIME_LAG", 150));
    const std::string before = StoreText();
    DetailDialog dialog(store, boxes, "D");
    dialog.show();
    auto* lag = Find<QLineEdit>(&dialog, "1054");
    auto* ok = Find<QPushButton>(&dialog, "1");
    EXPECT_EQ(Find<QLineEdit>(&dialog, "1052")->text(), "HTML,HTM,TXT");
    EXPECT_EQ(Find<QLineEdit>(&dialog, "1053")->text(), "BAK");

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
    Find<QLineEdit>(&dialog, "1052")->setText("HTML,CSS");
    Find<QLineEdit>(&dialog, "1053")->setText("");
    Find<QCheckBox>(&dialog, "1058")->click();
    ok->click();
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(store.ReadDword("D", "TIME_LAG"), 9);
    EXPECT_EQ(store.ReadString("D", "ASCII_TRANSFER"), "HTML,CSS");
    EXPECT_EQ(store.ReadString("D", "FILE_TRANSFER"), "");
    EXPECT_EQ(store.ReadDword("D", "TRANSFER_BOTH"), 1);
    EXPECT_EQ(store.ReadDword("D", "MIRRORING_FILE"), 0);
    EXPECT_EQ(store.ReadDword("D", "MIRRORING_DIR"), 0);
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
    {
        DetailDialog dialog(store, boxes, "D");
        auto* files = Find<QCheckBox>(&dialog, "1056");
        auto* dirs = Find<QCheckBox>(&dialog, "1057");
        EXPECT_TRUE(files->isChecked());
        EXPECT_TRUE(dirs->isEnabled());
        dirs->click();
        files->click();
        EXPECT_FALSE(dirs->isEnabled());
        EXPECT_TRUE(dirs->isChecked());  // keeps its tick while disabled
        Find<QPushButton>(&dialog, "1")->click();
    }
    EXPECT_EQ(store.ReadDword("D", "MIRRORING_FILE"), 0);
    EXPECT_EQ(store.ReadDword("D", "MIRRORING_DIR"), 1);
    {
        DetailDialog dialog(store, boxes, "D");
        EXPECT_TRUE(Find<QCheckBox>(&dialog, "1057")->isChecked());
        EXPECT_FALSE(Find<QCheckBox>(&dialog, "1057")->isEnabled());
        Find<QCheckBox>(&dialog, "1056")->click();
        EXPECT_TRUE(Find<QCheckBox>(&dialog, "1057")->isEnabled());
    }
}

TEST_F(DetailDialogTest, ListsAreCutTo254BytesAndCancelWritesNothing) {
    ASSERT_TRUE(store.CreateProfile("D"));
    const std::string before = StoreText();
    {
        DetailDialog dialog(store, boxes, "D");
        dialog.show();
        Find<QLineEdit>(&dialog, "1052")->setText("X");
        QTest::keyClick(&dialog, Qt::Key_Escape);
        EXPECT_EQ(dialog.result(), QDialog::Rejected);
    }
    {
        DetailDialog dialog(store, boxes, "D");
        Find<QLineEdit>(&dialog, "1052")->setText("ABC");
        Find<QPushButton>(&dialog, "2")->click();
    }
    {
        DetailDialog dialog(store, boxes, "");
        Find<QPushButton>(&dialog, "1")->click();
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
    }
    EXPECT_EQ(StoreText(), before);

    // 100 characters of three bytes each: 84 of them fit into 254 bytes.
    QString longList;
    for (int i = 0; i < 100; ++i)
        longList += QChar(0x3042);
    DetailDialog dialog(store, boxes, "D");
    Find<QLineEdit>(&dialog, "1053")->setText(longList);
    Find<QPushButton>(&dialog, "1")->click();
    const auto stored = store.ReadString("D", "FILE_TRANSFER");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->size(), 252u);
    EXPECT_EQ(QString::fromStdString(*stored), longList.left(84));
}

TEST_F(DetailDialogTest, MaxDeleteShowsTheStoredLimitAndStoresTheTypedOne) {
    const QString automatic = QString::fromUtf8("自動 (50 件またはファイル数の 4 分の 1)");
    const struct {
        std::optional<int32_t> stored;  // nullopt: never set
        QString shownText;
        const char* typed;
        int32_t saved;
    } cases[] = {
        {std::nullopt, automatic, "7", 7},
        {-1, automatic, "0", 0},
        {25, "25", "-1", -1},
        {0, "0", "120", 120},
        {2'000'000, "2000000", "2147483647", 2'147'483'647},  // as far as the store goes
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string name = "D" + std::to_string(n++);
        ASSERT_TRUE(store.CreateProfile(name));
        if (c.stored) {
            ASSERT_TRUE(store.WriteDword(name, "MAX_DELETE", *c.stored));
        }
        DetailDialog dialog(store, boxes, name);
        dialog.show();
        auto* limit = Find<QSpinBox>(&dialog, "maxDelete");
        EXPECT_EQ(limit->text(), c.shownText) << name;
        limit->setFocus();
        QTest::keyClick(limit, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(limit, c.typed);
        Find<QPushButton>(&dialog, "1")->click();
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
    const struct {
        const char* name;
        int shownSecurity;
        bool shownPassive;
        const char* shownKey;
        int chosenSecurity;
        bool removeKey;
        const char* storedKey;  // nullptr: never written
        int chosenParallel;
    } cases[] = {
        {"old", 0, true, "", 2, false, nullptr, 1},
        {"pinned", 1, true, "sha256//abc=", 1, true, "", 8},
    };
    for (const auto& c : cases) {
        DetailDialog dialog(store, boxes, c.name);
        dialog.show();
        auto* security = Find<QComboBox>(&dialog, "ftpSecurity");
        auto* passive = Find<QCheckBox>(&dialog, "passive");
        auto* remove = Find<QPushButton>(&dialog, "removePinnedKey");
        EXPECT_EQ(security->currentIndex(), c.shownSecurity) << c.name;
        EXPECT_EQ(passive->isChecked(), c.shownPassive) << c.name;
        EXPECT_EQ(Find<QLineEdit>(&dialog, "pinnedKey")->text(), QString(c.shownKey)) << c.name;
        EXPECT_EQ(remove->isEnabled(), *c.shownKey != 0) << c.name;
        // Connections for the copies: 4 unless stored otherwise.
        auto* parallel = Find<QSpinBox>(&dialog, "parallel");
        EXPECT_EQ(parallel->value(), 4) << c.name;
        parallel->setValue(c.chosenParallel);
        security->setCurrentIndex(c.chosenSecurity);
        QTest::mouseClick(passive, Qt::LeftButton, {}, QPoint(5, passive->height() / 2));
        if (c.removeKey) {
            remove->click();
        }
        Find<QPushButton>(&dialog, "1")->click();
        EXPECT_EQ(store.ReadDword(c.name, "FTP_SECURITY"), c.chosenSecurity) << c.name;
        EXPECT_EQ(store.ReadDword(c.name, "PASSIVE"), c.shownPassive ? 0 : 1) << c.name;
        EXPECT_EQ(store.ReadDword(c.name, "PARALLEL"), c.chosenParallel) << c.name;
        const auto key = store.ReadString(c.name, "TLS_PINNED_KEY", 254);
        if (c.storedKey) {
            EXPECT_EQ(key, std::optional<std::string>(c.storedKey)) << c.name;
        } else {
            EXPECT_EQ(key, std::nullopt) << c.name;
        }
    }
    EXPECT_TRUE(shown.empty());
}

}  // namespace
}  // namespace kestrum::test
