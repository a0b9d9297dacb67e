#pragma once

#include "pair_watches.h"
#include <QByteArray>

#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>

#include <netinet/in.h>

class QWebSocket;

// One web client's way to the slot array: its WebSocket on one side, one
// end of a packet socket pair on the other, whose far end the slot array
// reads as a client connection. Each WebSocket message becomes one packet
// and each packet one binary message, so messages stay apart both ways.
//
// Costs are bounded per client: a message is at most `messageLimit` (the
// slot array reads a packet into a buffer of that size); messages the pair
// cannot take yet wait here up to `queueLimit` bytes, and past that the
// client is cut off; while more than `outputLimit` bytes wait to go out on
// the WebSocket, the pair is not read, so unsent output piles up in the slot
// array under its caps. The bridge deletes itself once both sides are closed.
class WebClientBridge : public QObject {
    Q_OBJECT

public:
    using Adopt = std::function<void(int fd, const sockaddr_in6& remote)>;

    static constexpr qsizetype messageLimit = 64 * 1024;
    static constexpr qsizetype queueLimit = 1024 * 1024;
    static constexpr qint64 outputLimit = 64 * 1024;

    // Takes `socket`, an open WebSocket, and hands the pair's other end to
    // `adopt` with the browser's address; its own end is watched in `watches`.
    WebClientBridge(
        QWebSocket* socket, const Adopt& adopt, PairWatches& watches, QObject* parent = nullptr);
    ~WebClientBridge() override;

private:
    void forward(const QByteArray& message);
    void forwardText(const QString& message);
    void writeQueued();
    void readPackets();
    void resumeReading();
    void onPairEvents(quint32 events);
    void updateWatch();
    void closePair();
    void onPairClosed();
    void onSocketDisconnected();

    QWebSocket* m_socket; // a child
    PairWatches& m_watches;
    const PairWatches::Handler m_onEvents { [this](quint32 events) { onPairEvents(events); } };
    int m_pairEnd = -1;
    // Watched always for the slot array closing its end, also while the
    // pair is not read.
    quint32 m_watched = 0;
    bool m_reading = true;
    std::deque<QByteArray> m_queue;
    qsizetype m_queuedBytes = 0;
    // Closing waits for the close to be written; a browser that takes no
    // more is cut when this runs out.
    QTimer m_closingDeadline;
};
