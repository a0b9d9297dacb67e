#pragma once

#include "failure.h"

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
// nothing: nothing waits for it. The first message that cannot be sent is
// reported, once: a manager that waits for READY=1 would otherwise time the
// start out with nothing said.
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

signals:
    void failed(const Failure& failure);

private:
    void send(const QByteArray& message);
    void sendStatus();
    void report(int code);

    bool m_managed = false;
    int m_fd = -1;
    // Why there is no socket to send through, for the first send to report.
    int m_socketError = 0;
    bool m_reported = false;
    sockaddr_un m_address {};
    socklen_t m_addressLength = 0;
    QByteArray m_status;
    QElapsedTimer m_sinceStatus;
    QTimer m_statusTimer { this };
};
