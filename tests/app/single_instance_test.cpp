#include "app/single_instance.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <cerrno>
#include <cstring>

#include "cli/instance_lock.h"
#include "profiles/profile_store.h"
#include "res/strings.h"
#include "tests/app/window_fixture.h"

namespace kestrum::test {
namespace {

// The window program on programDir, headless.
void StartWindowProgram(QProcess& process, const std::string& programDir) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KESTRUM_HOME", QString::fromStdString(programDir));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("LC_ALL", "C.UTF-8");
    process.setProcessEnvironment(env);
    process.start(QString::fromUtf8(KESTRUM_BINARY), QStringList());
}

bool Finished(QProcess& process, int seconds = 60) {
    return WaitUntil([&] { return process.state() == QProcess::NotRunning; }, seconds);
}

TEST(SingleInstance, SecondWindowRaisesTheFirstAndEndsWithoutAWindow) {
    TestApp();
    TempDir dir;
    // This test plays the first copy: it holds the lock and answers on the socket.
    InstanceLock lock(dir.path());
    ASSERT_TRUE(lock.TryAcquire());
    int raised = 0;
    RaiseServer server([&] { ++raised; });
    ASSERT_TRUE(server.Listen(lock.ServerName()));

    QProcess second;
    StartWindowProgram(second, dir.path());
    ASSERT_TRUE(Finished(second));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(WaitUntil([&] { return raised == 1; }));
    // The second copy wrote nothing into the first copy's directory.
    EXPECT_FALSE(QFile::exists(QString::fromStdString(dir / "Kestrum.log")));
}

TEST(SingleInstance, LockHeldWithoutAWindowIsReported) {
    TestApp();
    TempDir dir;
    InstanceLock lock(dir.path());  // as a run from the command line holds it
    ASSERT_TRUE(lock.TryAcquire());

    QProcess second;
    StartWindowProgram(second, dir.path());
    QByteArray err;
    const QByteArray expected = QByteArray::fromStdString(std::string(StringUtf8(60103)));
    WaitUntil([&] {
        err += second.readAllStandardError();
        return err.contains(expected) || second.state() == QProcess::NotRunning;
    });
    EXPECT_TRUE(err.contains(expected)) << err.toStdString();
    // It then shows the same text in a box; no window of its own.
    if (second.state() != QProcess::NotRunning) {
        second.kill();
        second.waitForFinished(10000);
    } else {
        EXPECT_EQ(second.exitCode(), 1);
    }
    EXPECT_FALSE(QFile::exists(QString::fromStdString(dir / "Kestrum.log")));
}

// A directory that takes no lock file is told apart from a lock another copy
// holds: the system's reason is given instead of "another copy is running".
TEST(SingleInstance, AProgramDirectoryThatTakesNoLockIsNotAnotherCopy) {
    TestApp();
    TempDir dir;
    InstanceLock first(dir.path());
    ASSERT_TRUE(first.TryAcquire());
    InstanceLock second(dir.path());
    EXPECT_FALSE(second.TryAcquire());
    EXPECT_EQ(second.FailureReason(), "");

    WriteFile(dir / "file", "");
    InstanceLock blocked(dir / "file");
    EXPECT_FALSE(blocked.TryAcquire());
    EXPECT_EQ(blocked.FailureReason(), std::strerror(ENOTDIR));
}

TEST(SingleInstance, FirstWindowAnswersASecondOne) {
    TestApp();
    TempDir dir;
    ProfileStore store(dir / "Kestrum.conf");
    std::string selected;
    int cacheFlag = 1;
    ASSERT_TRUE(store.InitGlobalValues(dir.path(), selected, cacheFlag));
    ASSERT_TRUE(store.CreateProfile("p"));
    QProcess first;
    StartWindowProgram(first, dir.path());
    ASSERT_TRUE(first.waitForStarted(30000));
    const std::string name = InstanceLock(dir.path()).ServerName();
    ASSERT_TRUE(WaitUntil([&] { return AskRunningCopyToRaise(name, 200) || first.state() == QProcess::NotRunning; }));
    ASSERT_EQ(first.state(), QProcess::Running);

    QProcess second;
    StartWindowProgram(second, dir.path());
    ASSERT_TRUE(Finished(second));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(first.state(), QProcess::Running);

    // The first copy goes on with its window and its log.
    const QString log = QString::fromStdString(dir / "Kestrum.log");
    EXPECT_TRUE(WaitUntil([&] { return QFile(log).size() > 40; }));
    EXPECT_TRUE(ReadFile(dir / "Kestrum.log").starts_with("Welcome to Quill Moor\r\n\tKestrum Version1.0\r\n"));
    first.kill();
    first.waitForFinished(10000);
}

}  // namespace
}  // namespace kestrum::test
