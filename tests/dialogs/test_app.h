#pragma once
// The one QApplication of the GUI test program, created on first use. Every
// GUI test calls TestApp() before it makes a widget. Without a platform
// chosen, the offscreen one is used so that the tests run without a display.

#include <QApplication>
#include <QComboBox>
#include <QSize>
#include <QString>
#include <cstdlib>
#include <ostream>

// Failed expectations print texts readably.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QSize& size, std::ostream* out) {
    *out << size.width() << 'x' << size.height();
}

namespace kestrum::test {

inline QApplication& TestApp() {
    static int argc = 1;
    static char name[] = "kestrum_app_tests";
    static char* argv[] = {name, nullptr};
    // Never destroyed: widgets held in static objects may outlive main.
    static QApplication* app = [] {
        if (std::getenv("QT_QPA_PLATFORM") == nullptr)
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
        return new QApplication(argc, argv);
    }();
    return *app;
}

inline QStringList Items(const QComboBox* box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i)
        items << box->itemText(i);
    return items;
}

}  // namespace kestrum::test
