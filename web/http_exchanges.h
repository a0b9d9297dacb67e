#pragma once

#include <QDeadlineTimer>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <deque>

class QTcpSocket;

// The web port's connections before they become WebSockets or close. Each
// has `timeout` from its arrival to send its request head (at most
// `headLimit` bytes) and to take its answer; a connection over either is
// cut. At most `capacity` are kept, the oldest cut for a newcomer, so a
// crowd of idle connections costs a bounded amount. Deadlines fall in
// arrival order, so one timer serves them all.
class HttpExchanges : public QObject {
    Q_OBJECT

public:
    static constexpr int capacity = 64;
    static constexpr qsizetype headLimit = 8 * 1024;
    static constexpr std::chrono::seconds timeout { 10 };

    explicit HttpExchanges(QObject* parent = nullptr);
    ~HttpExchanges() override;

    // Takes `socket`: it is kept until it closes, and read until its head
    // has arrived.
    void add(QTcpSocket* socket);
    // Gives `socket` up: no deadline, no handler of ours; the caller owns it.
    void release(QTcpSocket* socket);
    void cutAll();

signals:
    // The whole head is in `socket`'s buffer, only peeked at. Emitted once a
    // connection; a receiver answers and closes the socket or releases it.
    void headArrived(QTcpSocket* socket, const QByteArray& head);

private:
    struct Exchange {
        QTcpSocket* socket;
        QDeadlineTimer deadline;
    };

    void checkHead(QTcpSocket* socket);
    void forget(QTcpSocket* socket);
    void cut(QTcpSocket* socket);
    void cutExpired();
    void scheduleExpiry();

    std::deque<Exchange> m_exchanges;
    QTimer m_expiry;
};
