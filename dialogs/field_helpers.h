#pragma once
// Small pieces shared by the settings dialogs: the byte-limited and the
// digits-only edit fields, the up-down control and the dialogs' pictures.

#include <QIcon>
#include <QLineEdit>
#include <QString>
#include <QWidget>
#include <string>

#include "dialogs/qt_text.h"

class QDialog;
class QDialogButtonBox;
class QToolButton;

namespace kestrum {

// The "OK" (default, id 1) and "ｷｬﾝｾﾙ" (id 2) buttons of a dialog, wired to
// its accept() and reject().
QDialogButtonBox* MakeOkCancelButtons(QDialog* dialog, Qt::Orientation orientation = Qt::Horizontal);

// Refuses typed or pasted text that would make the field longer than
// maxBytes in the code page. Text set by the program is not checked.
void LimitBytes(QLineEdit* field, size_t maxBytes);

// Lets only the digits 0-9 be typed into the field (other typed characters are
// dropped, input methods are off). Text set by the program is not checked.
void MakeDigitsOnly(QLineEdit* field);

// Two arrow buttons attached to a digits-only field: each step reads the
// field's number, moves it by one and keeps it within [bottom, top]. The
// Up and Down keys in the field step as well.
class UpDownControl : public QWidget {
  public:
    UpDownControl(QLineEdit* buddy, QWidget* parent = nullptr);
    void SetRange(int bottom, int top);
    void Step(int delta);
    QToolButton* UpButton() const { return up_; }
    QToolButton* DownButton() const { return down_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QLineEdit* buddy_;
    QToolButton* up_;
    QToolButton* down_;
    int bottom_ = 0;
    int top_ = 100;
    int position_ = 0;  // the last number shown, used when the field holds no number
};

// Pictures of the dialogs: 144 closed folder, 145 open folder, 146 open
// folder highlighted, 147 removable drive, 148 fixed drive, 149 network
// drive, 151 CD-ROM drive. A null pixmap for any other id.
QPixmap DialogPicture(int id);
QIcon DialogIcon(int id);

}  // namespace kestrum
