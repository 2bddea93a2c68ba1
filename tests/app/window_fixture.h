#pragma once
// Set-up of the main-window tests: KESTRUM_HOME and the program directory in a
// temporary directory, message boxes, dialogs and URLs answered by the test
// and recorded, and an event pump that waits for a condition.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "profiles/profile_store.h"
#include "res/strings.h"
#include "tests/dialogs/test_app.h"
#include "tests/support/ftp_server.h"

namespace kestrum::test {

// A numbered text as the window shows it.
inline QString Table(int id) {
    const std::string_view text = StringUtf8(id);
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

inline QString TableFormat(int id, std::initializer_list<std::string_view> args) {
    return QString::fromStdString(FormatText(StringUtf8(id), args));
}

// Lets the event loop run for about ms milliseconds.
inline void Pump(int ms = 10) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop until done() holds; false when the deadline passed first.
inline bool WaitUntil(const std::function<bool()>& done, int seconds = 60) {
    const QDeadlineTimer deadline(seconds * 1000);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        Pump(5);
    }
    return true;
}

inline QStringList ViewLines(MainWindow& window) {
    return window.LogView()->toPlainText().split(QLatin1Char('\n'));
}

class WindowTest : public ::testing::Test {
  protected:
    WindowTest() {
        TestApp();
        setenv("KESTRUM_HOME", home.path().c_str(), 1);
    }
    ~WindowTest() override { unsetenv("KESTRUM_HOME"); }

    // A window on the temporary program directory, answered by this test.
    std::unique_ptr<MainWindow> Open(bool initialise = true) {
        auto window = std::make_unique<MainWindow>(home.path());
        window->Boxes().SetResponder([this](const QString& text, BoxButtons buttons, BoxIcon) {
            shown.push_back(text);
            return buttons != BoxButtons::Ok ? answer(text) : true;
        });
        window->SetDialogRunner([this](QDialog& dialog) {
            dialogs.push_back(dialog.objectName());
            return runDialog ? runDialog(dialog) : int(QDialog::Rejected);
        });
        window->SetUrlOpener([this](const QUrl& url) {
            urls.push_back(url);
            return true;
        });
        if (initialise)
            window->Initialise();
        return window;
    }

    // The store's global values, as the window's first start leaves them.
    void EnsureRoot() {
        std::string selected;
        int cacheFlag = 1;
        ASSERT_TRUE(store.InitGlobalValues(home.path(), selected, cacheFlag));
    }

    // A profile that uploads localDir to host (password stored unless savePassword is false).
    void MakeProfile(const std::string& name, const std::string& host, const std::string& user,
                     const std::string& password, const std::string& localDir, bool savePassword = true) {
        EnsureRoot();
        ASSERT_TRUE(store.CreateProfile(name));
        ASSERT_TRUE(store.WriteProfileValues(name, {{"FTP_SECURITY", int32_t{0}}}));
        ASSERT_TRUE(store.SaveGeneralSettings(name, {.host = host,
                                                     .user = user,
                                                     .password = password,
                                                     .savePassword = savePassword,
                                                     .localDir = localDir,
                                                     .upload = true}));
    }
    void MakeProfile(const std::string& name, const TestFtpServer& server, const std::string& localDir,
                     bool savePassword = true) {
        MakeProfile(name, server.hostWithPort(), server.options().user, server.options().password, localDir,
                    savePassword);
    }
    // A profile that is never run.
    void MakeIdleProfile(const std::string& name) { MakeProfile(name, "127.0.0.1:1", "user", "pw", home.path()); }

    // Starts a run with button 1001 and waits until the window is idle again.
    bool RunToEnd(MainWindow& window) {
        window.RunCommand(1001);
        if (window.State().flags.running == 0)
            return false;
        return WaitUntil([&] { return window.State().flags.running == 0; });
    }

    int CountShown(int id) const { return static_cast<int>(std::count(shown.begin(), shown.end(), Table(id))); }

    TempDir home;
    ProfileStore store{home / "Kestrum.conf"};
    std::vector<QString> shown;    // message box texts in order
    std::vector<QString> dialogs;  // object names of the dialogs run
    std::vector<QUrl> urls;        // what the window asked the desktop to open
    std::function<bool(const QString&)> answer = [](const QString&) { return true; };
    std::function<int(QDialog&)> runDialog;
};

}  // namespace kestrum::test
