#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTextBlock>
#include <QTextCursor>
#include <QThread>
#include <atomic>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>
#include <thread>

#include "app/about_dialog.h"
#include "app/activity_animation.h"
#include "dialogs/password_dialog.h"
#include "dialogs/setup_dialog.h"
#include "engine/run_log.h"
#include "res/message_ids.h"
#include "tests/app/window_fixture.h"
#include "tests/support/unwritable.h"

namespace kestrum::test {
namespace {

namespace fs = std::filesystem;

class MainWindowTest : public WindowTest {
  protected:
    // A server and the profile "site" that uploads a.txt to it, then the window.
    std::unique_ptr<MainWindow> OpenSite(FtpServerOptions options = {}, bool savePassword = true) {
        server = std::make_unique<TestFtpServer>(options);
        WriteFile(local / "a.txt", "alpha");
        MakeProfile("site", *server, local.path(), savePassword);
        return Open();
    }
    // Starts a run and waits until it connects.
    bool StartUntilConnecting(MainWindow& window) {
        window.RunCommand(1001);
        const QString connecting = TableFormat(57686, {server->hostWithPort()});
        return WaitUntil([&] { return ViewLines(window).contains(connecting); });
    }

    std::unique_ptr<TestFtpServer> server;
    TempDir local;
};

// The window's profile; the chooser must show the same.
std::string Chosen(MainWindow& window) {
    const std::string shownName = window.ProfileChooser()->currentText().toStdString();
    return shownName == window.ProfileName() ? shownName : window.ProfileName() + " but the chooser shows " + shownName;
}

// The controls of a window during a run, or when idle.
void ExpectRunning(MainWindow& window, bool running) {
    EXPECT_EQ(window.StartButton()->text(), Table(running ? 42778 : 42777));
    EXPECT_EQ(window.Action(kCmdStartRun)->isEnabled(), !running);
    EXPECT_EQ(window.Action(kCmdCancelRun)->isEnabled(), running);
    EXPECT_EQ(window.Action(kCmdSettings)->isEnabled(), !running);
    EXPECT_EQ(window.Action(kCmdAlign)->isEnabled(), !running);
    EXPECT_EQ(window.State().flags.running, running ? 1 : 0);
    if (!running) {
        EXPECT_EQ(window.ProgressBar()->value(), 0);
        EXPECT_EQ(window.Counter()->text(), QString());
        EXPECT_FALSE(window.Animation()->Playing());
    }
}

// Lines of Kestrum.log: every line must end with CR LF.
QStringList FileLines(const std::string& path) {
    QString text = QString::fromStdString(ReadFile(path));
    EXPECT_TRUE(text.isEmpty() || text.endsWith(QLatin1String("\r\n")));
    QStringList lines = text.split(QLatin1String("\r\n"));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

void SendKey(QWidget* target, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
    QApplication::sendEvent(target, &release);
}

TEST_F(MainWindowTest, AnIdleWindowItsControlsKeysAndCacheItem) {
    MakeIdleProfile("alpha");
    auto window = Open();

    EXPECT_TRUE(window->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(window->windowIcon().isNull());

    EXPECT_EQ(window->findChild<QPushButton*>("1001"), window->StartButton());
    EXPECT_FALSE(window->StartButton()->autoDefault());
    EXPECT_TRUE(window->Counter()->isReadOnly());
    EXPECT_EQ(window->Counter()->alignment() & Qt::AlignHCenter, Qt::AlignHCenter);
    EXPECT_TRUE(window->LogView()->isReadOnly());
    EXPECT_EQ(window->ProgressBar()->maximum(), 100);
    EXPECT_EQ(window->Animation()->Frame(), 0);
    ExpectRunning(*window, false);

    // Every command is an item of the menus.
    std::set<int> items;
    for (QAction* top : window->MenuBar()->actions())
        for (QAction* item : top->menu()->actions())
            items.insert(item->data().toInt());
    for (int command : {kCmdStartRun, kCmdPreview, kCmdCancelRun, kCmdShowLog, kCmdQuit, kCmdSettings, kCmdAlign,
                        kCmdCache, kCmdHelp, kCmdOnlineHelp, kCmdAbout})
        EXPECT_EQ(items.count(command), 1u) << command;

    // Log hidden and its item unchecked; the cache item from the missing FILE_REF.
    EXPECT_FALSE(window->Action(kCmdShowLog)->isChecked());
    EXPECT_TRUE(window->Action(kCmdCache)->isChecked());
    EXPECT_EQ(window->State().options.cacheSwitch, 1);

    EXPECT_EQ(Chosen(*window), "alpha");
    EXPECT_EQ(store.ReadGlobalString("Program"), home.path());
    EXPECT_EQ(store.ReadGlobalString("Default_Profile"), "");
    EXPECT_TRUE(shown.empty());

    const QStringList view = ViewLines(*window);
    ASSERT_EQ(view.size(), 3);
    EXPECT_EQ(view.mid(0, 2), QStringList({"Welcome to Quill Moor", "\tKestrum Version1.0"}));
    EXPECT_TRUE(QRegularExpression("^\\d{4} \\d{2}/\\d{2} \\d{2}:\\d{2}$").match(view[2]).hasMatch())
        << view[2].toStdString();
    EXPECT_EQ(FileLines(home / "Kestrum.log"), view);

    // Enter and Escape neither close the window nor start a run.
    window->show();
    window->StartButton()->setFocus();
    for (QWidget* target : {static_cast<QWidget*>(window.get()), static_cast<QWidget*>(window->StartButton()),
                            static_cast<QWidget*>(window->ProfileChooser())})
        for (int key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
            SendKey(target, key);
    Pump(20);
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->Closed());
    EXPECT_EQ(window->State().flags.running, 0);
    EXPECT_EQ(ViewLines(*window).size(), 3);
    EXPECT_TRUE(shown.empty());

    // The cache item: unchecked without a word, checked after 57706.
    window->RunCommand(kCmdCache);
    EXPECT_FALSE(window->Action(kCmdCache)->isChecked());
    EXPECT_EQ(window->State().options.cacheSwitch, 0);
    EXPECT_TRUE(shown.empty());
    window->RunCommand(kCmdCache);
    EXPECT_TRUE(window->Action(kCmdCache)->isChecked());
    EXPECT_EQ(shown, std::vector<QString>{Table(57706)});
    EXPECT_EQ(window->State().options.cacheSwitch, 1);

    // The close box closes an idle window; the cache item is stored as FILE_REF.
    window->RunCommand(kCmdCache);
    window->close();
    EXPECT_TRUE(window->Closed());
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(store.ReadGlobalDword("FILE_REF"), 0);
    EXPECT_EQ(store.ReadGlobalString("Default_Profile"), "alpha");
    window.reset();
    window = Open();
    EXPECT_FALSE(window->Action(kCmdCache)->isChecked());
    EXPECT_EQ(window->State().options.cacheSwitch, 0);
}

TEST_F(MainWindowTest, ShowLogToggleAGrowingWindowAndTheLinesOfTheView) {
    MakeIdleProfile("alpha");
    // Before the start lines the view is empty: it keeps empty lines and shows line breaks as lines.
    auto bare = Open(false);
    for (const char* line : {"", "", "first\r\nsecond", "", "\tあ"})
        bare->ShowLogLine(line);
    EXPECT_EQ(ViewLines(*bare), QStringList({"", "", "first", "second", "", "\tあ"}));
    const QSize full = bare->size();
    auto window = Open();
    window->show();
    auto logTop = [&] { return window->LogView()->mapTo(window.get(), QPoint(0, 0)).y(); };
    auto logBottom = [&] { return logTop() + window->LogView()->height(); };

    EXPECT_EQ(window->size(), full - QSize(0, MainWindow::kLogHeight));
    EXPECT_GE(logTop(), window->height());  // out of sight
    EXPECT_EQ(window->minimumHeight(), window->maximumHeight());

    window->RunCommand(kCmdShowLog);
    EXPECT_TRUE(window->Action(kCmdShowLog)->isChecked());
    EXPECT_EQ(window->size(), full);
    EXPECT_LE(logBottom(), window->height());
    EXPECT_EQ(window->minimumSize(), full);

    // The log view takes all the window grows by, and keeps its margins.
    const QSize log = window->LogView()->size();
    const int margin = window->height() - logBottom();
    const QSize grown = full + QSize(200, 150);
    window->resize(grown);
    EXPECT_EQ(window->size(), grown);
    EXPECT_EQ(window->LogView()->size(), log + QSize(200, 150));
    EXPECT_EQ(window->height() - logBottom(), margin);

    // Hidden, the log is out of sight whatever the height was; shown, the grown size returns.
    window->RunCommand(kCmdShowLog);
    EXPECT_FALSE(window->Action(kCmdShowLog)->isChecked());
    EXPECT_EQ(window->size(), QSize(grown.width(), full.height() - MainWindow::kLogHeight));
    EXPECT_GE(logTop(), window->height());
    window->RunCommand(kCmdShowLog);
    EXPECT_EQ(window->size(), grown);
    EXPECT_EQ(window->LogView()->size(), log + QSize(200, 150));
    EXPECT_TRUE(shown.empty());
}

TEST_F(MainWindowTest, RunHeaderColumnsLineUpAtEveryFontSize) {
    MakeIdleProfile("alpha");
    const QFont appFont = QApplication::font();
    using namespace msg;
    for (int pixels : {12, 13, 15, 17}) {
        QFont font(QStringLiteral("Noto Sans CJK JP"));
        font.setPixelSize(pixels);
        QApplication::setFont(font);
        auto window = Open();
        window->RunCommand(kCmdShowLog);
        window->resize(window->width() + 300, window->height());
        window->show();
        for (int id : {kHeaderServer, kHeaderProxy, kHeaderPort, kHeaderLocalHome, kHeaderServerHome, kHeaderUpload,
                       kHeaderDownload, kHeaderSubdirs, kHeaderOnlyBoth, kHeaderMirrorFiles, kHeaderMirrorDirs,
                       kHeaderAsciiExtensions, kHeaderExcludedExtensions, kHeaderTimeLag})
            window->ShowLogLine(FormatString(id, {"1"}));
        // Where each line's full-width colon stands.
        std::set<int> columns;
        for (QTextBlock block = window->LogView()->document()->firstBlock(); block.isValid(); block = block.next()) {
            const qsizetype colon = block.text().indexOf(QChar(0xFF1A));
            if (colon < 0)
                continue;
            QTextCursor cursor(block);
            cursor.setPosition(block.position() + static_cast<int>(colon));
            columns.insert(window->LogView()->cursorRect(cursor).x());
        }
        EXPECT_EQ(columns.size(), 1u) << pixels << " pixels";
    }
    QApplication::setFont(appFont);
}

TEST_F(MainWindowTest, ProfileChooserIsSortedDropsStaleNamesAndFindsByPrefix) {
    for (const char* name : {"beta", "Alpha", "gamma"})
        MakeIdleProfile(name);
    ASSERT_TRUE(store.WriteGlobalString("Profiles", "beta,gone,Alpha,gamma,"));
    ASSERT_TRUE(store.WriteGlobalString("Default_Profile", "nothere"));
    {
        auto window = Open();
        EXPECT_EQ(window->ProfileChooser()->count(), 3);
        // An unknown default: the first item in sorted order (the order: SettingsListTheChoosersProfiles...).
        EXPECT_EQ(Chosen(*window), "Alpha");
        EXPECT_EQ(store.ReadGlobalString("Profiles"), "beta,Alpha,gamma,");

        window->ProfileChooser()->setCurrentIndex(2);
        EXPECT_EQ(window->ProfileName(), "gamma");
        window->RunCommand(kCmdQuit);
        EXPECT_EQ(store.ReadGlobalString("Default_Profile"), "gamma");
    }
    // The chooser's search: the first item that begins with the text, ignoring case.
    ASSERT_TRUE(store.WriteGlobalString("Default_Profile", "B"));
    auto window = Open();
    EXPECT_EQ(Chosen(*window), "beta");
}

TEST_F(MainWindowTest, SettingsListTheChoosersProfilesAndAreRereadOnlyWhenChanged) {
    for (const char* name : {"b", "_x", "B", "a1", "日本", "Z"})
        MakeIdleProfile(name);
    ASSERT_TRUE(store.WriteGlobalString("Default_Profile", "B"));
    auto window = Open();
    // Letters folded to upper case, so "_" comes after them; equal names by their bytes.
    EXPECT_EQ(Items(window->ProfileChooser()), QStringList({"a1", "B", "b", "Z", "_x", "日本"}));
    window->ProfileChooser()->setCurrentIndex(0);

    QStringList setup;
    runDialog = [&setup](QDialog& dialog) {
        if (const auto* list = dialog.findChild<QComboBox*>("1006"))
            setup = Items(list);
        return int(QDialog::Rejected);
    };
    window->RunCommand(kCmdSettings);
    EXPECT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(setup, Items(window->ProfileChooser()));
    EXPECT_EQ(window->ProfileName(), "a1");

    // Added a profile: the chooser shows the stored default, not the one chosen before.
    runDialog = [this](QDialog&) {
        EXPECT_TRUE(store.CreateProfile("c"));
        return int(QDialog::Accepted);
    };
    window->RunCommand(kCmdSettings);
    EXPECT_EQ(Chosen(*window), "B");
    EXPECT_EQ(window->ProfileChooser()->count(), 7);
    EXPECT_TRUE(shown.empty());
}

TEST_F(MainWindowTest, NoProfileAsksToRegisterOne) {
    answer = [](const QString&) { return false; };
    {
        auto window = Open();
        EXPECT_EQ(shown, std::vector<QString>{Table(42792)});
        EXPECT_EQ(window->ProfileChooser()->count(), 0);
        EXPECT_EQ(window->ProfileName(), "");
        EXPECT_TRUE(dialogs.empty());
        EXPECT_FALSE(window->Closed());
        EXPECT_EQ(window->State().flags.running, 0);
    }
    // OK opens the settings; a profile added there becomes the chooser's.
    shown.clear();
    answer = [](const QString&) { return true; };
    runDialog = [this](QDialog& dialog) {
        EXPECT_NE(dynamic_cast<SetupDialog*>(&dialog), nullptr);
        EXPECT_TRUE(store.CreateProfile("fresh"));
        EXPECT_TRUE(store.WriteGlobalString("Default_Profile", "fresh"));
        return int(QDialog::Accepted);
    };
    auto window = Open();
    EXPECT_EQ(shown, std::vector<QString>{Table(42792)});
    EXPECT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(Chosen(*window), "fresh");
}

TEST_F(MainWindowTest, UnusableStoreSaysWhyAndCloses) {
    // A directory where the store file belongs: the store counts as damaged.
    fs::create_directory(home / "Kestrum.conf");
    {
        auto window = Open();
        EXPECT_EQ(shown, std::vector<QString>{Table(42781)});
        EXPECT_TRUE(window->Closed());
    }
    // A program directory that takes no new file: named, with the system's reason.
    fs::remove(home / "Kestrum.conf");
    shown.clear();
    Unwritable guard(home.path());
    if (!guard.ok())
        GTEST_SKIP() << "the program directory cannot be made unwritable here";
    const int error = access(home.path().c_str(), W_OK) == 0 ? 0 : errno;
    auto window = Open();
    EXPECT_EQ(shown, std::vector<QString>{TableFormat(60711, {home.path(), std::strerror(error)})});
    EXPECT_TRUE(window->Closed());
}

TEST_F(MainWindowTest, LogFileThatCannotBeCreatedShows42801AndTheViewKeepsWorking) {
    MakeIdleProfile("alpha");
    fs::create_directory(home / "Kestrum.log");  // a directory where the file belongs
    auto window = Open();
    EXPECT_EQ(shown, std::vector<QString>{Table(42801)});
    EXPECT_FALSE(window->Closed());
    EXPECT_FALSE(window->Log().HasFile());
    EXPECT_EQ(ViewLines(*window).size(), 3);
    window->Log().AppendLogLine("after");
    EXPECT_EQ(ViewLines(*window).last(), QString("after"));
    EXPECT_EQ(window->State().flags.running, 0);
}

TEST_F(MainWindowTest, AboutBoxOnlineHelpAndHelpFile) {
    MakeIdleProfile("alpha");
    auto window = Open();
    runDialog = [](QDialog& dialog) {
        EXPECT_NE(dynamic_cast<AboutDialog*>(&dialog), nullptr);
        auto* contact = dialog.findChild<QPlainTextEdit*>("1030");
        EXPECT_TRUE(contact != nullptr && contact->isReadOnly() && contact->toPlainText() == Table(42822));
        dialog.findChild<QPushButton*>("1")->click();
        return dialog.result();
    };
    window->RunCommand(kCmdAbout);
    EXPECT_EQ(dialogs, std::vector<QString>{QString("137")});

    window->RunCommand(kCmdOnlineHelp);
    window->RunCommand(kCmdHelp);
    const QString helpFile = FindHelpFile(DefaultHelpDirs());
    std::vector<QUrl> opened = {QUrl("https://kestrum.example.org/")};
    if (!helpFile.isEmpty())
        opened.push_back(QUrl::fromLocalFile(helpFile));
    EXPECT_EQ(urls, opened);
    EXPECT_EQ(shown, helpFile.isEmpty() ? std::vector<QString>{Table(60301)} : std::vector<QString>{});
}

TEST(HelpFile, FirstDirectoryWithAManualWins) {
    TempDir empty, readme, plain;
    WriteFile(readme / "README.md", "# Kestrum");
    WriteFile(plain / "README", "Kestrum");
    const auto q = [](const TempDir& dir) { return QString::fromStdString(dir.path()); };
    EXPECT_EQ(FindHelpFile({q(empty), q(plain), q(readme)}), QDir(q(plain)).filePath("README"));
    EXPECT_EQ(FindHelpFile({q(empty), q(readme), q(plain)}), QDir(q(readme)).filePath("README.md"));
    EXPECT_EQ(FindHelpFile({q(empty)}), QString());
    // A directory named like the manual is not a manual.
    fs::create_directory(empty / "README.md");
    EXPECT_EQ(FindHelpFile({q(empty)}), QString());
}

TEST_F(MainWindowTest, PortCallsFromAnotherThreadAreCarriedOutOnTheWindowThread) {
    MakeIdleProfile("alpha");
    auto window = Open();
    const int kLines = 20000;
    std::atomic<bool> done{false};
    bool answered = true;
    std::vector<bool> onWindowThread;
    answer = [&](const QString&) {
        onWindowThread.push_back(QThread::currentThread() == window->thread());
        return false;
    };
    std::thread worker([&] {
        for (int i = 0; i < kLines; ++i)
            window->Log().AppendLogLine("line " + std::to_string(i));
        window->Log().ShowFileCount(3, 7);
        window->ShowMessage("message");
        answered = window->AskOkCancel("question");
        done = true;
    });
    const bool finished = WaitUntil([&] { return done.load(); }, 240);
    worker.join();
    ASSERT_TRUE(finished);

    EXPECT_FALSE(answered);
    EXPECT_EQ(onWindowThread, std::vector<bool>{true});
    EXPECT_EQ(shown, (std::vector<QString>{"message", "question"}));
    EXPECT_EQ(window->ProgressBar()->value(), 5 + 270 / 7);
    EXPECT_EQ(window->Counter()->text(), QString("3 / 7"));
    const QStringList view = ViewLines(*window);
    ASSERT_EQ(view.size(), 3 + kLines);
    EXPECT_EQ(view[3], QString("line 0"));
    EXPECT_EQ(view.last(), QString("line 19999"));
    EXPECT_EQ(FileLines(home / "Kestrum.log"), view);
}

TEST_F(MainWindowTest, RunWithTheLogHiddenShowsEveryLineOfTheLogFile) {
    WriteFile(local / "b.bin", std::string("\x00\x01\x02", 3));
    auto window = OpenSite();
    ASSERT_FALSE(window->Action(kCmdShowLog)->isChecked());

    window->RunCommand(1001);
    ExpectRunning(*window, true);
    ASSERT_TRUE(WaitUntil([&] { return window->State().flags.running == 0; }));
    EXPECT_EQ(ReadFile(server->home() + "/a.txt"), "alpha");
    EXPECT_EQ(ReadFile(server->home() + "/b.bin"), std::string("\x00\x01\x02", 3));
    EXPECT_TRUE(shown.empty());

    const QStringList view = ViewLines(*window);
    EXPECT_EQ(FileLines(home / "Kestrum.log"), view);
    ASSERT_GT(view.size(), 6);
    EXPECT_EQ(view[3], QString());
    EXPECT_TRUE(view[4].startsWith(TableFormat(42802, {"site"}) + "\t")) << view[4].toStdString();
    EXPECT_TRUE(view.contains(TableFormat(42805, {server->hostWithPort()})));
    EXPECT_EQ(view.last(), TableFormat(42804, {"2 / 2"}));
    ExpectRunning(*window, false);  // bar, counter and animation reset
    EXPECT_FALSE(window->Closed());

    // A run in which an item fails: its last line and a notice say how many.
    store.WriteDword("site", "CHECK_SUB", 1);
    WriteFile(local / "x/c.txt", "c");
    WriteFile(server->home() + "/x", "a file where the directory is needed");
    EXPECT_FALSE(window->Action(kCmdShowLog)->isChecked());
    ASSERT_TRUE(RunToEnd(*window));
    EXPECT_EQ(ViewLines(*window).last(), TableFormat(60013, {"1"}));
    EXPECT_EQ(shown, std::vector<QString>{TableFormat(60013, {"1"})});
    // The notice sends the user to the log: it is in view.
    EXPECT_TRUE(window->Action(kCmdShowLog)->isChecked());
}

TEST_F(MainWindowTest, CancelDuringARunStopsItAtTheNextCheckpoint) {
    MakeIdleProfile("other");
    ASSERT_TRUE(store.WriteGlobalString("Default_Profile", "site"));
    auto window = OpenSite({.loginDelaySeconds = 2});
    ASSERT_EQ(window->ProfileName(), "site");
    ASSERT_TRUE(StartUntilConnecting(*window));
    EXPECT_TRUE(window->Animation()->Playing());

    // The chooser snaps back to the running profile.
    window->ProfileChooser()->setCurrentIndex(window->ProfileChooser()->findText("other"));
    EXPECT_EQ(Chosen(*window), "site");

    window->RunCommand(1001);
    EXPECT_EQ(shown, std::vector<QString>{Table(57690)});
    EXPECT_FALSE(window->Action(kCmdCancelRun)->isEnabled());
    EXPECT_EQ(window->StartButton()->text(), Table(42778));
    EXPECT_TRUE(window->StartButton()->isEnabled());
    window->RunCommand(1001);  // again: the same message, nothing else
    EXPECT_EQ(CountShown(57690), 2);
    EXPECT_EQ(window->State().flags.running, 1);

    ASSERT_TRUE(WaitUntil([&] { return window->State().flags.running == 0; }));
    const QStringList view = ViewLines(*window);
    EXPECT_EQ(view.count(Table(42800)), 1);
    EXPECT_EQ(CountShown(42829), 0);
    EXPECT_FALSE(window->Animation()->Playing());
    EXPECT_FALSE(fs::exists(server->home() + "/a.txt"));
    EXPECT_EQ(FileLines(home / "Kestrum.log"), view);
    EXPECT_FALSE(window->Closed());
}

TEST_F(MainWindowTest, CloseDuringARunConfirmedClosesTheWindowAfterTheRun) {
    auto window = OpenSite({.loginDelaySeconds = 2});
    window->RunCommand(kCmdCache);  // stored at the close below
    ASSERT_TRUE(StartUntilConnecting(*window));

    window->RunCommand(kCmdQuit);
    EXPECT_EQ(shown, (std::vector<QString>{Table(42830), Table(57690)}));
    EXPECT_FALSE(window->Closed());
    EXPECT_EQ(window->State().flags.running, 1);
    EXPECT_EQ(window->State().options.quitAfterRun, 1);

    ASSERT_TRUE(WaitUntil([&] { return window->Closed(); }));
    EXPECT_EQ(window->State().flags.running, 0);
    EXPECT_EQ(FileLines(home / "Kestrum.log").last(), Table(42800));
    EXPECT_EQ(store.ReadGlobalDword("FILE_REF"), 0);
    EXPECT_EQ(store.ReadGlobalString("Default_Profile"), "site");
}

TEST_F(MainWindowTest, CloseDuringARunRefusedLetsTheRunGoOn) {
    answer = [](const QString& text) { return text != Table(42830); };
    auto window = OpenSite({.loginDelaySeconds = 1});
    ASSERT_TRUE(StartUntilConnecting(*window));

    window->close();  // the close box
    EXPECT_EQ(shown, std::vector<QString>{Table(42830)});
    EXPECT_EQ(window->State().flags.cancelRequested, 0);
    EXPECT_EQ(window->State().options.quitAfterRun, 0);

    ASSERT_TRUE(WaitUntil([&] { return window->State().flags.running == 0; }));
    EXPECT_FALSE(window->Closed());
    EXPECT_EQ(ReadFile(server->home() + "/a.txt"), "alpha");
    EXPECT_EQ(ViewLines(*window).last(), TableFormat(42804, {"1 / 1"}));
}

TEST_F(MainWindowTest, DestroyingTheWindowDuringARunStopsTheRunFirst) {
    auto window = OpenSite({.loginDelaySeconds = 1});
    ASSERT_TRUE(StartUntilConnecting(*window));
    window.reset();  // returns once the worker has ended
    EXPECT_FALSE(fs::exists(server->home() + "/a.txt"));
    EXPECT_EQ(store.ReadGlobalString("Default_Profile"), "site");
    EXPECT_TRUE(shown.empty());
}

TEST_F(MainWindowTest, PasswordPromptAsksAtEveryRunAndCancelStopsWith42797) {
    auto window = OpenSite({.password = ""}, false);
    window->RunCommand(kCmdCache);  // without the change cache every run logs in
    int prompts = 0;
    bool cancel = false;
    runDialog = [&](QDialog& dialog) {
        auto* prompt = dynamic_cast<PasswordDialog*>(&dialog);
        EXPECT_NE(prompt, nullptr);
        if (prompt == nullptr)
            return int(QDialog::Rejected);
        ++prompts;
        EXPECT_EQ(prompt->parentWidget(), window.get());
        EXPECT_EQ(prompt->Field()->text(), QString());  // nothing typed is remembered
        (cancel ? prompt->CancelButton() : prompt->OkButton())->click();
        return prompt->result();
    };

    // OK with an empty field: the run logs in with the empty password, at every run.
    for (int run = 1; run <= 2; ++run) {
        ASSERT_TRUE(RunToEnd(*window));
        EXPECT_EQ(prompts, run);
        EXPECT_EQ(server->countCommands("PASS"), run);
    }
    EXPECT_TRUE(ViewLines(*window).contains(TableFormat(42805, {server->hostWithPort()})));
    EXPECT_TRUE(shown.empty());

    cancel = true;
    ASSERT_TRUE(RunToEnd(*window));
    EXPECT_EQ(prompts, 3);
    EXPECT_EQ(shown, (std::vector<QString>{Table(42797), Table(42829)}));
    const QStringList view = ViewLines(*window);
    EXPECT_EQ(view.mid(view.size() - 2), QStringList({Table(42797), Table(42817)}));
    EXPECT_EQ(server->countCommands("PASS"), 2);
    EXPECT_EQ(FileLines(home / "Kestrum.log"), view);
}

TEST_F(MainWindowTest, AlignmentCommandAsksFirstAndSetsLocalTimes) {
    const long long serverTime = 1600000000;
    auto window = OpenSite();
    WriteFile(local / "a.txt", "alpha", serverTime - 86400);
    WriteFile(server->home() + "/a.txt", "alpha", serverTime);
    const int startLines = ViewLines(*window).size();

    answer = [](const QString&) { return false; };
    window->RunCommand(kCmdAlign);
    EXPECT_EQ(shown, std::vector<QString>{Table(57675)});
    EXPECT_EQ(window->State().flags.running, 0);
    EXPECT_EQ(ViewLines(*window).size(), startLines);

    answer = [](const QString&) { return true; };
    window->RunCommand(kCmdAlign);
    ASSERT_TRUE(WaitUntil([&] { return window->State().flags.running == 0; }));
    // The server's time brought to the local clock: the measured offset may be
    // a second when the probe crossed a second boundary.
    EXPECT_NEAR(FileMtime(local / "a.txt"), serverTime, 1);
    const QStringList view = ViewLines(*window);
    EXPECT_TRUE(view[startLines + 1].startsWith(TableFormat(57671, {"site"}))) << view[startLines + 1].toStdString();
    EXPECT_EQ(view.last(), TableFormat(42804, {"1 / 1"}));
    EXPECT_EQ(CountShown(42829), 0);
    // A sync run can follow the alignment.
    ASSERT_TRUE(RunToEnd(*window));
    EXPECT_EQ(FileLines(home / "Kestrum.log"), ViewLines(*window));
}

TEST_F(MainWindowTest, PreviewItemLogsTheDecisionsAndChangesNeitherSide) {
    TestFtpServer server;
    TempDir local;
    // A whole minute an hour ago: listed exactly whatever the listing command.
    const long long t = (static_cast<long long>(std::time(nullptr)) - 3600) / 60 * 60;
    WriteFile(local / "newer.txt", "local", t);
    WriteFile(server.home() + "/newer.txt", "server", t - 720);
    WriteFile(local / "new.txt", "local", t);
    WriteFile(server.home() + "/gone.txt", "server", t);
    MakeProfile("site", server, local.path());
    // Mirroring needs the subdirectories.
    ASSERT_TRUE(store.WriteDword("site", "CHECK_SUB", 1));
    ASSERT_TRUE(store.SaveDetailSettings("site", {.mirrorFiles = true}));
    auto window = Open();

    // That neither side changes is the engine's Preview test; here the item's dry run reaches the view.
    QAction* item = window->Action(kCmdPreview);
    item->trigger();
    EXPECT_EQ(window->State().flags.running, 1);
    EXPECT_FALSE(item->isEnabled());
    ASSERT_TRUE(WaitUntil([&] { return window->State().flags.running == 0; }));
    EXPECT_TRUE(item->isEnabled());

    const QStringList view = ViewLines(*window);
    for (const QString& line : {Table(msg::kPreviewStarting), TableFormat(msg::kPreviewLocalNewer, {"newer.txt", "12"}),
                                TableFormat(msg::kPreviewWouldDelete, {"gone.txt"}),
                                TableFormat(msg::kPreviewSummary, {"2", "0", "1", "0", "0", "0"})})
        EXPECT_EQ(view.count(line), 1) << line.toStdString();
    EXPECT_FALSE(fs::exists(server.home() + "/new.txt"));
    EXPECT_TRUE(shown.empty());
}

TEST_F(MainWindowTest, MassDeletionWaitsForTheAnswerInTheWindowsQuestionBox) {
    for (const bool confirm : {false, true}) {
        SCOPED_TRACE(confirm ? "confirmed" : "declined");
        TestFtpServer server;
        TempDir local;  // emptied: every server file would go
        const QStringList names = {"f0.txt", "f1.txt", "f2.txt", "f3.txt", "f4.txt", "f5.txt", "f6.txt", "f7.txt"};
        for (const QString& name : names)
            WriteFile(server.home() + "/" + name.toStdString(), "s");
        const std::string profile = confirm ? "confirmed" : "declined";
        MakeProfile(profile, server, local.path());
        ASSERT_TRUE(store.WriteDword(profile, "CHECK_SUB", 1));
        ASSERT_TRUE(store.SaveDetailSettings(profile, {.mirrorFiles = true}));
        ASSERT_TRUE(store.WriteGlobalString("Default_Profile", profile));
        auto window = Open();
        ASSERT_EQ(window->ProfileName(), profile);
        window->Boxes().SetResponder({});  // the real message boxes

        // Each box that comes up is answered: the question as the case says, a notice with OK.
        std::vector<QString> boxes;
        QTimer answerer;
        QObject::connect(&answerer, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || !box->isVisible())
                return;
            boxes.push_back(box->text());
            EXPECT_EQ(box->windowTitle(), Table(msg::kAppName));
            QAbstractButton* cancel = box->button(QMessageBox::Cancel);
            // Enter must not delete: Cancel is the default, and the box warns.
            EXPECT_EQ(box->defaultButton(), cancel);
            EXPECT_EQ(box->icon(), QMessageBox::Warning);
            (cancel != nullptr && !confirm ? cancel : box->button(QMessageBox::Ok))->click();
        });
        answerer.start(10);
        window->RunCommand(kCmdStartRun);
        ASSERT_TRUE(WaitUntil([&] { return window->State().flags.running == 0; }));
        answerer.stop();

        ASSERT_GE(boxes.size(), 1u);
        // The count, the limit (a quarter of 8) and every name.
        const QStringList ends = TableFormat(msg::kAskMassDeleteQuarter, {"8", "8", "2", ""}).split("\n\n\n");
        ASSERT_EQ(ends.size(), 2);
        EXPECT_TRUE(boxes[0].startsWith(ends[0])) << boxes[0].toStdString();
        EXPECT_TRUE(boxes[0].endsWith(ends[1])) << boxes[0].toStdString();
        for (const QString& name : names) {
            EXPECT_TRUE(boxes[0].contains(name)) << name.toStdString();
            EXPECT_EQ(fs::exists(server.home() + "/" + name.toStdString()), !confirm) << name.toStdString();
        }
        const QStringList view = ViewLines(*window);
        const QString declined = TableFormat(msg::kMassDeleteDeclined, {"8"});
        if (confirm) {
            EXPECT_EQ(boxes.size(), 1u);
            EXPECT_FALSE(view.contains(declined));
        } else {
            // The user's answer is no failure: no second box, nothing counted.
            EXPECT_EQ(boxes.size(), 1u);
            EXPECT_EQ(view.count(declined), 1);
            EXPECT_EQ(window->State().flags.failedItems, 0);
        }
    }
}

}  // namespace
}  // namespace kestrum::test

namespace kestrum::test {
namespace {

// The watch item: a run, then each save sent while the status line shows;
// unchecking ends the watch quietly.
TEST_F(MainWindowTest, TheWatchItemSendsSavesUntilUnchecked) {
    auto window = OpenSite();
    QAction* item = window->Action(kCmdWatch);
    ASSERT_TRUE(item->isCheckable());
    item->trigger();
    ASSERT_TRUE(WaitUntil([&] { return window->Watching() && !window->WatchStatus()->isHidden(); }));
    EXPECT_EQ(ReadFile(server->home() + "/a.txt"), "alpha");

    WriteFile(local / "b.txt", "saved");
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(server->home() + "/b.txt", false) == "saved"; }, 15));
    const QString sent = TableFormat(60812, {"", ""}).left(8);
    EXPECT_TRUE(WaitUntil([&] { return window->WatchStatus()->text().startsWith(sent); }, 5));

    item->trigger();
    ASSERT_TRUE(WaitUntil([&] { return window->State().flags.running == 0 && !window->Watching(); }));
    EXPECT_FALSE(item->isChecked());
    EXPECT_FALSE(!window->WatchStatus()->isHidden());
    EXPECT_TRUE(shown.empty());
    EXPECT_TRUE(ViewLines(*window).contains(Table(60807)));
}

}  // namespace
}  // namespace kestrum::test
