#pragma once
// Small pieces shared by the settings dialogs: text conversion between the
// code page and the widgets, the digits-only edit field, the up-down control
// and the dialogs' pictures.

#include <QIcon>
#include <QLineEdit>
#include <QString>
#include <QWidget>
#include <string>

class QDialog;
class QDialogButtonBox;
class QToolButton;

namespace kestrum {

// Code-page bytes shown in a widget, and a widget's text back as bytes.
QString ToQString(const std::string& bytes);
std::string ToBytes(const QString& text);
// The text as bytes, cut to maxBytes without splitting a character.
std::string ToBytes(const QString& text, size_t maxBytes);
// A fixed label, title or message (UTF-8 source text).
inline QString Tr(const char* utf8) {
    return QString::fromUtf8(utf8);
}
// String-table entry `id`.
QString TableText(int id);

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
