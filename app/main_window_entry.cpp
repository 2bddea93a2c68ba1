#include "app/main_window_entry.h"

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QFontDatabase>
#include <QLibraryInfo>
#include <QTranslator>
#include <cstdio>

#include "app/main_window.h"
#include "app/single_instance.h"
#include "cli/instance_lock.h"
#include "dialogs/message_box.h"
#include "profiles/paths.h"
#include "res/codepage.h"
#include "res/message_ids.h"
#include "res/strings.h"

namespace kestrum {

namespace {

// The Japanese texts need a font with the CJK glyphs; without one every label
// is a row of boxes.
void UseJapaneseFont(QApplication& app) {
    const QStringList families = QFontDatabase::families();
    for (const char* family : {"Noto Sans CJK JP", "Noto Sans JP", "IPAGothic", "VL Gothic", "TakaoGothic"}) {
        if (families.contains(QString::fromLatin1(family))) {
            QFont font(QString::fromLatin1(family));
            font.setPointSize(9);
            app.setFont(font);
            return;
        }
    }
}

// Tells the user why the window does not open: on standard error and in a box.
int Refuse(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    MessageBoxes boxes;
    boxes.Show(nullptr, QString::fromStdString(ToUtf8(text)));
    return 1;
}

}  // namespace

QTranslator* InstallQtTranslations(QCoreApplication& app) {
    const QString dir = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    auto* translator = new QTranslator(&app);
    if (!translator->load(QStringLiteral("qtbase_ja"), dir) || !QCoreApplication::installTranslator(translator)) {
        delete translator;
        return nullptr;
    }
    return translator;
}

int RunWindowApplication(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kestrum"));
    QApplication::setOrganizationName(QStringLiteral("Quillmoor"));
    // Ties the windows to the installed desktop entry (its name and icon).
    QGuiApplication::setDesktopFileName(QStringLiteral("org.example.kestrum"));
    UseJapaneseFont(app);
    if (!InstallQtTranslations(app)) {
        std::fprintf(stderr, "kestrum: Qt's Japanese texts (qtbase_ja.qm) are missing from %s\n",
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath).toLocal8Bit().constData());
    }

    const std::string programDir = ProgramDirectory();
    if (!QDir(QString::fromStdString(programDir)).exists())
        return Refuse(FormatString(msg::kProgramDirCreateFailed, {programDir}));

    InstanceLock lock(programDir);
    if (!lock.TryAcquire()) {
        if (const std::string reason = lock.FailureReason(); !reason.empty())
            return Refuse(FormatString(msg::kProgramDirUnwritable, {programDir, reason}));
        // Another window holds this program directory: bring it forward and end
        // without a window. A run or alignment from the command line has no
        // window to raise.
        if (AskRunningCopyToRaise(lock.ServerName()))
            return 0;
        return Refuse(LoadString(msg::kAnotherInstanceRunning));
    }

    int status = 0;
    {
        MainWindow window(programDir);
        // Dialogs and boxes without a parent show the program's icon too.
        QApplication::setWindowIcon(window.windowIcon());
        RaiseServer raiser([&window] { RaiseWindow(window); });
        if (!raiser.Listen(lock.ServerName())) {
            std::fprintf(stderr, "kestrum: cannot listen on the local socket %s\n", lock.ServerName().c_str());
        }
        window.Initialise();
        if (window.Closed()) {
            status = 1;
        } else {
            window.exec();
        }
    }
    return status;
}

}  // namespace kestrum
