#pragma once
// Dialog 137, the about box: icon, picture, the maker's notice, the build
// label, and the contact text of string msg::kAboutContact in a read-only box (1030).

#include <QDialog>

class QPlainTextEdit;

namespace kestrum {

class AboutDialog : public QDialog {
    Q_OBJECT
  public:
    explicit AboutDialog(QWidget* parent = nullptr);
    QPlainTextEdit* ContactBox() const { return contact_; }

  private:
    QPlainTextEdit* contact_;
};

}  // namespace kestrum
