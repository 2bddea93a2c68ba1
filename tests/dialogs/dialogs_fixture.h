#pragma once
// Shared set-up of the settings-dialog tests: KESTRUM_HOME and the store in a
// temporary directory, message boxes answered by the test and recorded.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <cstdlib>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "dialogs/field_helpers.h"
#include "dialogs/message_box.h"
#include "profiles/profile_store.h"
#include "tests/dialogs/test_app.h"
#include "tests/support/ftp_server.h"

namespace kestrum::test {

// The child widget with objectName id; the test fails when it is missing.
template <class T>
T* Find(QWidget* parent, const char* id) {
    T* child = parent->findChild<T*>(QString::fromLatin1(id));
    if (child == nullptr)
        throw std::runtime_error(std::string("no control ") + id);
    return child;
}

// The application made first, and shorthands on the controls of a dialog named by their ids.
class WidgetTest : public ::testing::Test {
  protected:
    WidgetTest() { TestApp(); }
    static QString Text(QWidget* d, const char* id) { return Find<QLineEdit>(d, id)->text(); }
    static void SetText(QWidget* d, const char* id, const QString& text) { Find<QLineEdit>(d, id)->setText(text); }
    static void Click(QWidget* d, const char* id) { Find<QAbstractButton>(d, id)->click(); }
    static bool Enabled(QWidget* d, const char* id) { return Find<QWidget>(d, id)->isEnabled(); }
    // How a dialog ended: its result once closed, -1 while it is open.
    static int Outcome(const QDialog& dialog) { return dialog.isVisible() ? -1 : dialog.result(); }
    // The texts of the fields in the order of ids.
    static QStringList Texts(QWidget* d, const std::vector<const char*>& ids) {
        QStringList texts;
        for (const char* id : ids)
            texts << Text(d, id);
        return texts;
    }
    // '1' for each checked button, '0' for each unchecked one, in the order of ids.
    static std::string Ticks(QWidget* d, const std::vector<const char*>& ids) {
        std::string ticks;
        for (const char* id : ids)
            ticks += Find<QAbstractButton>(d, id)->isChecked() ? '1' : '0';
        return ticks;
    }
};

struct ShownBox {
    QString text;
    BoxButtons buttons;
    BoxIcon icon;
};

class DialogTest : public WidgetTest {
  protected:
    DialogTest() {
        setenv("KESTRUM_HOME", home.path().c_str(), 1);
        std::string selected;
        int cacheFlag = 0;
        if (!store.InitGlobalValues(home.path(), selected, cacheFlag))
            throw std::runtime_error("store not created");
        boxes.SetResponder([this](const QString& text, BoxButtons buttons, BoxIcon icon) {
            shown.push_back({text, buttons, icon});
            if (answers.empty())
                return true;
            const bool answer = answers.front();
            answers.pop_front();
            return answer;
        });
    }
    ~DialogTest() override { unsetenv("KESTRUM_HOME"); }

    // Texts of the boxes shown so far, then forgets them.
    std::vector<QString> TakeMessages() {
        std::vector<QString> texts;
        for (const ShownBox& box : shown)
            texts.push_back(box.text);
        shown.clear();
        return texts;
    }
    static std::vector<QString> Messages(std::initializer_list<int> ids) {
        std::vector<QString> texts;
        for (int id : ids)
            texts.push_back(TableText(id));
        return texts;
    }

    // The stored numbers of a profile in the order of keys; -999 for a missing one.
    std::vector<int32_t> Dwords(const std::string& profile, const std::vector<const char*>& keys) {
        std::vector<int32_t> values;
        for (const char* key : keys)
            values.push_back(store.ReadDword(profile, key).value_or(-999));
        return values;
    }
    std::string StoreText() const { return ReadFile(storePath); }

    // A profile saved as the setup dialog saves it.
    void MakeProfile(const std::string& name, const std::string& host, const std::string& user = "user",
                     const std::string& password = "pw", const std::string& local = "/data") {
        ASSERT_TRUE(store.CreateProfile(name));
        ASSERT_TRUE(store.SaveGeneralSettings(name, {.host = host,
                                                     .user = user,
                                                     .password = password,
                                                     .savePassword = true,
                                                     .localDir = local,
                                                     .remoteDir = "/remote",
                                                     .upload = true}));
    }

    TempDir home;
    std::string storePath = home / "Kestrum.conf";
    ProfileStore store{storePath};
    MessageBoxes boxes;
    std::vector<ShownBox> shown;
    std::deque<bool> answers;  // OK (true) or Cancel (false) for the next boxes; OK when empty
};

}  // namespace kestrum::test
