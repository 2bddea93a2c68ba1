#include "dialogs/message_box.h"

#include <QMessageBox>

#include "dialogs/qt_text.h"
#include "res/message_ids.h"

namespace kestrum {

bool MessageBoxes::Show(QWidget* parent, const QString& text, BoxButtons buttons, BoxIcon icon) {
    if (buttons == BoxButtons::OkCancelRisky)
        icon = BoxIcon::Exclamation;
    if (responder_)
        return responder_(text, buttons, icon);
    QMessageBox box(parent);
    box.setWindowTitle(TableText(msg::kAppName));
    box.setText(text);
    switch (icon) {
        case BoxIcon::None:
            box.setIcon(QMessageBox::NoIcon);
            break;
        case BoxIcon::Question:
            box.setIcon(QMessageBox::Question);
            break;
        case BoxIcon::Exclamation:
            box.setIcon(QMessageBox::Warning);
            break;
        case BoxIcon::Information:
            box.setIcon(QMessageBox::Information);
            break;
    }
    if (buttons != BoxButtons::Ok) {
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setDefaultButton(buttons == BoxButtons::OkCancelRisky ? QMessageBox::Cancel : QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Cancel);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
    }
    return box.exec() == QMessageBox::Ok;
}

}  // namespace kestrum
