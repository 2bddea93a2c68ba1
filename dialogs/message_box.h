#pragma once
// Message boxes of the window and the dialogs. Every box has the caption of
// string msg::kAppName. Tests install a Responder that answers boxes in advance,
// without a nested event loop.

#include <QString>
#include <functional>

class QWidget;

namespace kestrum {

// OkCancelRisky: OK deletes, trusts or overwrites; Cancel is the default
// button (Enter declines) and the box warns.
enum class BoxButtons { Ok, OkCancel, OkCancelRisky };
enum class BoxIcon { None, Question, Exclamation, Information };

class MessageBoxes {
  public:
    // Given the text, buttons and icon, returns true for OK. Set only by tests.
    using Responder = std::function<bool(const QString& text, BoxButtons buttons, BoxIcon icon)>;

    // Shows a modal box owned by parent; returns true when OK was pressed.
    bool Show(QWidget* parent, const QString& text, BoxButtons buttons = BoxButtons::Ok, BoxIcon icon = BoxIcon::None);
    void SetResponder(Responder responder) { responder_ = std::move(responder); }

  private:
    Responder responder_;
};

}  // namespace kestrum
