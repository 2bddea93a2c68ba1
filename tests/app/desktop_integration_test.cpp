// The window application among the desktop's: Qt's own texts in Japanese and
// the program's icon in its dialogs.
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTranslator>

#include "app/main_window_entry.h"
#include "dialogs/dir_chooser_dialog.h"
#include "tests/app/window_fixture.h"

namespace kestrum::test {
namespace {

using DesktopTest = WindowTest;

TEST_F(DesktopTest, OkCancelBoxesSayCancelInJapanese) {
    QTranslator* translator = InstallQtTranslations(TestApp());
    ASSERT_NE(translator, nullptr) << "qtbase_ja.qm missing (qt6-translations-l10n)";
    // The real box, without a responder: read its buttons once it is up, then cancel it.
    MessageBoxes boxes;
    QStringList buttons;
    QTimer::singleShot(0, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
                for (QAbstractButton* button : box->buttons())
                    buttons << button->text();
                box->button(QMessageBox::Cancel)->click();
            }
        }
    });
    EXPECT_FALSE(boxes.Show(nullptr, QStringLiteral("?"), BoxButtons::OkCancel));
    buttons.sort();
    EXPECT_EQ(buttons, QStringList({QStringLiteral("OK"), QString::fromUtf8("キャンセル")}));
    delete translator;
}

TEST_F(DesktopTest, TheDirectoryChooserShowsTheProgramsIcon) {
    auto window = Open();
    DirChooserDialog chooser(QString::fromStdString(home.path()), window.get());
    bool iconShown = false;
    for (QLabel* label : chooser.findChildren<QLabel*>())
        iconShown = iconShown || !label->pixmap().isNull();
    EXPECT_TRUE(iconShown);
}

}  // namespace
}  // namespace kestrum::test
