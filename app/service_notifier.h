#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <chrono>

#include <sys/socket.h>
#include <sys/un.h>

// Tells the service manager how the service stands, by its notification
// protocol: a datagram of "NAME=value" lines to the socket that
// NOTIFY_SOCKET names (a path, or with "@" an abstract name). Without the
// variable it tells nobody. A manager that is gone or does not read costs
// nothing: nothing waits for it.
class ServiceNotifier final : public QObject {
    Q_OBJECT

public:
    // Status changes more often than this are folded into the last one.
    static constexpr std::chrono::seconds statusInterval { 1 };

    explicit ServiceNotifier(QObject* parent = nullptr);
    ~ServiceNotifier() override;

    void ready() { send("READY=1"); }
    void setStatus(const QString& status);
    void stopping() { send("STOPPING=1"); }

private:
    void send(const QByteArray& message);
    void sendStatus();

    int m_fd = -1;
    sockaddr_un m_address {};
    socklen_t m_addressLength = 0;
    QByteArray m_status;
    QElapsedTimer m_sinceStatus;
    QTimer m_statusTimer { this };
};
