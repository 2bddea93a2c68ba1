#pragma once
// Dialog 131: asks for the FTP password of one run. Nothing typed here is stored.

#include <QDialog>
#include <string>

class QLineEdit;
class QPushButton;

namespace kestrum {

class PasswordDialog : public QDialog {
    Q_OBJECT
  public:
    // At most this many bytes of the code page can be typed.
    static constexpr size_t kMaxBytes = 20;

    // prompt: the text above the field (empty: the FTP password's);
    // maxBytes: the most bytes the field takes.
    explicit PasswordDialog(QWidget* parent = nullptr, const QString& prompt = {}, size_t maxBytes = kMaxBytes);

    // The text of field 1012 in the code page; valid after OK.
    std::string Password() const { return password_; }

    QLineEdit* Field() const { return field_; }
    QPushButton* OkButton() const { return ok_; }
    QPushButton* CancelButton() const { return cancel_; }

  public slots:
    void accept() override;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool event(QEvent* event) override;

  private:
    void LimitToBytes(const QString& edited);

    QLineEdit* field_;
    QPushButton* ok_;
    QPushButton* cancel_;
    QString accepted_;  // the last text that fitted the limit
    std::string password_;
    size_t maxBytes_;
};

// The longest text made of `prefix + (part of inserted) + suffix` that fits
// maxBytes in the code page: an insertion is cut, what was there stays.
QString FitInsertion(const QString& before, const QString& after, size_t maxBytes, int* cursor);

}  // namespace kestrum
