#include "app/single_instance.h"

#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QThread>
#include <QWidget>

namespace kestrum {

namespace {

constexpr char kRaise[] = "raise\n";

}  // namespace

RaiseServer::RaiseServer(std::function<void()> onRaise, QObject* parent)
    : QObject(parent), onRaise_(std::move(onRaise)) {
    connect(&server_, &QLocalServer::newConnection, this, &RaiseServer::Accept);
}

bool RaiseServer::Listen(const std::string& name) {
    const QString serverName = QString::fromStdString(name);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    if (server_.listen(serverName))
        return true;
    QLocalServer::removeServer(serverName);
    return server_.listen(serverName);
}

void RaiseServer::Accept() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            while (socket->canReadLine()) {
                if (socket->readLine().trimmed() == "raise" && onRaise_)
                    onRaise_();
            }
        });
    }
}

bool AskRunningCopyToRaise(const std::string& name, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    const QString serverName = QString::fromStdString(name);
    do {
        QLocalSocket socket;
        socket.connectToServer(serverName);
        if (socket.waitForConnected(500)) {
            socket.write(kRaise);
            const bool sent = socket.waitForBytesWritten(1000);
            socket.disconnectFromServer();
            if (socket.state() != QLocalSocket::UnconnectedState)
                socket.waitForDisconnected(500);
            return sent;
        }
        QThread::msleep(100);
    } while (!deadline.hasExpired());
    return false;
}

void RaiseWindow(QWidget& window) {
    window.setWindowState((window.windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window.show();
    window.raise();
    window.activateWindow();
}

}  // namespace kestrum
