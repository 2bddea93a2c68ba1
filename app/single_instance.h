#pragma once
// The hand-over between copies of the window: the first copy listens on a
// local socket named after the program directory; a second copy asks it to
// raise its window and ends.

#include <QLocalServer>
#include <QObject>
#include <functional>
#include <string>

class QWidget;

namespace kestrum {

class RaiseServer : public QObject {
    Q_OBJECT
  public:
    explicit RaiseServer(std::function<void()> onRaise, QObject* parent = nullptr);
    // Listens on name, replacing a socket file left by a crashed copy (the
    // caller holds the instance lock, so no live copy owns it).
    bool Listen(const std::string& name);

  private:
    void Accept();

    QLocalServer server_;
    std::function<void()> onRaise_;
};

// Sends "raise" to the copy listening on name, retrying for up to timeoutMs
// while that copy is still starting. False when no copy answered.
bool AskRunningCopyToRaise(const std::string& name, int timeoutMs = 3000);

// Brings window to the front, restoring it when minimised.
void RaiseWindow(QWidget& window);

}  // namespace kestrum
