#include "dialogs/field_helpers.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QPushButton>

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPixmap>
#include <QToolButton>
#include <QVBoxLayout>
#include <QValidator>
#include <algorithm>

#include "profiles/profile_schema.h"

// Resources of a static library must be registered by name, outside any namespace.
static void InitDialogResources() {
    Q_INIT_RESOURCE(dialogs);
}

namespace kestrum {

namespace {

// Drops typed characters other than digits; editing keys pass.
class DigitsOnlyFilter : public QObject {
  public:
    using QObject::QObject;

  protected:
    bool eventFilter(QObject* /*watched*/, QEvent* event) override {
        if (event->type() != QEvent::KeyPress)
            return false;
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->matches(QKeySequence::Paste))
            return false;
        const QString text = key->text();
        if (text.isEmpty())
            return false;
        for (QChar c : text) {
            if (c.unicode() < 0x20 || c.unicode() == 0x7f)
                return false;  // control keys (Backspace, Enter, Escape)
            if (c < u'0' || c > u'9')
                return true;
        }
        return false;
    }
};

class ByteLimitValidator : public QValidator {
  public:
    ByteLimitValidator(size_t maxBytes, QObject* parent) : QValidator(parent), maxBytes_(maxBytes) {}
    State validate(QString& input, int&) const override {
        return ToBytes(input).size() <= maxBytes_ ? Acceptable : Invalid;
    }

  private:
    size_t maxBytes_;
};

}  // namespace

void LimitBytes(QLineEdit* field, size_t maxBytes) {
    field->setValidator(new ByteLimitValidator(maxBytes, field));
}

void MakeDigitsOnly(QLineEdit* field) {
    field->setAttribute(Qt::WA_InputMethodEnabled, false);
    field->installEventFilter(new DigitsOnlyFilter(field));
}

UpDownControl::UpDownControl(QLineEdit* buddy, QWidget* parent)
    : QWidget(parent), buddy_(buddy), up_(new QToolButton(this)), down_(new QToolButton(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    for (QToolButton* button : {up_, down_}) {
        button->setAutoRepeat(true);
        button->setFocusPolicy(Qt::NoFocus);
        button->setFixedSize(18, 12);
        layout->addWidget(button);
    }
    up_->setArrowType(Qt::UpArrow);
    down_->setArrowType(Qt::DownArrow);
    connect(up_, &QToolButton::clicked, this, [this] { Step(1); });
    connect(down_, &QToolButton::clicked, this, [this] { Step(-1); });
    buddy_->installEventFilter(this);
}

void UpDownControl::SetRange(int bottom, int top) {
    bottom_ = bottom;
    top_ = top;
    position_ = std::clamp(ParseDecimalInt(buddy_->text().toStdString()).value_or(position_), bottom_, top_);
}

void UpDownControl::Step(int delta) {
    // A number outside the range in the field is not taken over: the step
    // starts from the last position instead.
    const auto shown = ParseDecimalInt(buddy_->text().toStdString());
    if (shown && *shown >= bottom_ && *shown <= top_)
        position_ = *shown;
    position_ = static_cast<int>(std::clamp<int64_t>(int64_t{position_} + delta, bottom_, top_));
    buddy_->setText(QString::number(position_));
}

bool UpDownControl::eventFilter(QObject* watched, QEvent* event) {
    if (watched == buddy_ && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Up || key == Qt::Key_Down) {
            Step(key == Qt::Key_Up ? 1 : -1);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

QPixmap DialogPicture(int id) {
    static const bool registered = (InitDialogResources(), true);
    (void)registered;
    switch (id) {
        case 144:
        case 145:
        case 146:
        case 147:
        case 148:
        case 149:
        case 151:
            return QPixmap(QStringLiteral(":/dialogs/%1.xpm").arg(id));
        default:
            return QPixmap();
    }
}

QIcon DialogIcon(int id) {
    return QIcon(DialogPicture(id));
}

QDialogButtonBox* MakeOkCancelButtons(QDialog* dialog, Qt::Orientation orientation) {
    auto* buttons = new QDialogButtonBox(orientation, dialog);
    QPushButton* ok = buttons->addButton(Tr("OK"), QDialogButtonBox::AcceptRole);
    ok->setObjectName("1");
    ok->setDefault(true);
    QPushButton* cancel = buttons->addButton(Tr("ｷｬﾝｾﾙ"), QDialogButtonBox::RejectRole);
    cancel->setObjectName("2");
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return buttons;
}

}  // namespace kestrum
