#include "dialogs/password_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>

#include "res/codepage.h"
#include "tests/dialogs/dialogs_fixture.h"

namespace kestrum::test {
namespace {

struct CodePageGuard {
    explicit CodePageGuard(CodePage cp) { SetSystemCodePage(cp); }
    ~CodePageGuard() { SetSystemCodePage(CodePage::Utf8); }
};

QString U(const char* text) {
    return QString::fromUtf8(text);
}

// Types text into the field one character at a time, as the keyboard would.
void Type(QLineEdit* field, const QString& text) {
    for (QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(field, &press);
    }
}

using PasswordDialogTest = WidgetTest;

void Press(QWidget* target, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(target, &press);
}

TEST_F(PasswordDialogTest, HidesWhatIsTypedAndEndsWithOkEnterEscapeOrCancel) {
    const struct {
        const char* typed;
        int key;  // 0: the button of the result is clicked
        int result;
        const char* password;
    } cases[] = {
        {"secret", Qt::Key_Return, QDialog::Accepted, "secret"},  // the default button
        {"", 0, QDialog::Accepted, ""},                           // an empty password is a password
        {"typed", Qt::Key_Escape, QDialog::Rejected, ""},
        {"typed", 0, QDialog::Rejected, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        PasswordDialog dialog;
        dialog.show();
        EXPECT_EQ(dialog.Field()->echoMode(), QLineEdit::Password);
        EXPECT_EQ(dialog.Field()->text(), QString());
        EXPECT_TRUE(dialog.OkButton()->isDefault());
        Type(dialog.Field(), c.typed);
        Press(dialog.Field(), Qt::Key_F1);  // swallowed: the dialog stays open
        EXPECT_TRUE(dialog.isVisible());
        if (c.key != 0)
            Press(dialog.Field(), c.key);
        else
            (c.result == QDialog::Accepted ? dialog.OkButton() : dialog.CancelButton())->click();
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(dialog.result(), c.result);
        EXPECT_EQ(dialog.Password(), c.password);
    }
}

TEST_F(PasswordDialogTest, TheTwentyFirstByteCannotBeTyped) {
    PasswordDialog dialog;
    QLineEdit* field = dialog.Field();

    Type(field, "abcdefghijklmnopqrstu");  // 21 characters
    EXPECT_EQ(field->text(), "abcdefghijklmnopqrst");

    // A three-byte character does not fit into the last two bytes, whole or in part.
    field->clear();
    Type(field, "123456789012345678");
    Type(field, U("あ"));
    EXPECT_EQ(field->text(), "123456789012345678");
    field->backspace();
    Type(field, U("あ"));
    EXPECT_EQ(field->text(), U("12345678901234567あ"));

    // Typed in the middle of a full field: the insertion goes, the rest stays.
    field->setCursorPosition(3);
    Type(field, "X");
    EXPECT_EQ(field->text(), U("12345678901234567あ"));
    EXPECT_EQ(field->cursorPosition(), 3);

    // A paste is cut to what fits.
    field->clear();
    Type(field, "abc");
    QApplication::clipboard()->setText(U("0123456789あいうえお"));
    field->paste();
    EXPECT_EQ(field->text(), U("abc0123456789あい"));  // 19 bytes: "う" would make 22
    dialog.OkButton()->click();
    EXPECT_EQ(dialog.Password(), "abc0123456789\xE3\x81\x82\xE3\x81\x84");
}

TEST_F(PasswordDialogTest, BytesAreCountedInTheCodePage) {
    CodePageGuard cp932(CodePage::Cp932);
    PasswordDialog dialog;
    // A double-byte character counts as two: ten of them fill the field.
    Type(dialog.Field(), U("あいうえおかきくけこさ"));
    EXPECT_EQ(dialog.Field()->text(), U("あいうえおかきくけこ"));
    dialog.OkButton()->click();
    EXPECT_EQ(dialog.Password().size(), 20u);
    EXPECT_EQ(dialog.Password().substr(0, 2), "\x82\xA0");
}

TEST(FitInsertion, CutsOnlyTheInsertedText) {
    int cursor = -1;
    EXPECT_EQ(FitInsertion("abc", "abXYZc", 5, &cursor), "abXYc");
    EXPECT_EQ(cursor, 4);
    EXPECT_EQ(FitInsertion("", U("ああ"), 5, &cursor), U("あ"));
    EXPECT_EQ(cursor, 1);
    // Replacing a selection frees its bytes first.
    EXPECT_EQ(FitInsertion("abcde", "aXYZe", 5, &cursor), "aXYZe");
    EXPECT_EQ(cursor, 4);
    // Characters outside the basic plane are kept whole or not at all.
    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");  // 4 bytes, two UTF-16 units
    EXPECT_EQ(FitInsertion("ab", "ab" + emoji, 5, &cursor), "ab");
    EXPECT_EQ(FitInsertion("a", "a" + emoji, 5, &cursor), "a" + emoji);
}

}  // namespace
}  // namespace kestrum::test
