#pragma once

#include "slot_array.h"

#include <QByteArray>

#include <deque>
#include <vector>

#include <netinet/in.h>

class QSocketNotifier;

// The slot array over non-blocking POSIX sockets and one epoll instance.
//
// Qt's event loop watches only the epoll descriptor, so one yield costs the
// same however many clients are connected. Readiness is level-triggered:
// every pass handles what is ready now, and a pass run from inside a handler
// simply sees what the outer pass has not handled yet.
class SocketSlotArray final : public SlotArray {
    Q_OBJECT

public:
    // Unsent output a client may leave queued before it is cut off.
    static constexpr qsizetype defaultOutputCap = 1024 * 1024;
    // Yields nest no deeper than this; past it a yield returns at once.
    static constexpr int maxYieldDepth = 64;

    explicit SocketSlotArray(QObject* parent = nullptr);
    ~SocketSlotArray() override;

    SlotError Bind(int index, quint16 port) override;
    SlotError Listen(int index) override;
    void Close(int index) override;
    SlotError Load(int index) override;
    SlotError Accept(int index, qint32 requestID) override;
    SlotError SendData(int index, const QString& text) override;
    QString GetData(int index) override;
    int State(int index) const override;
    QString RemoteHostIP(int index) const override;
    QString LocalIP(int index) const override;
    void DoEvents() override;

    void setOutputCap(qsizetype bytes) { m_outputCap = bytes; }
    int slotCount() const { return int(m_slots.size()); }

private:
    struct Slot {
        int fd = -1;
        int state = sckClosed;
        sockaddr_in6 remote {};
        QByteArray input;
        QByteArray output;
        qsizetype outputSent = 0;
        bool watchingOutput = false;
    };

    Slot* slot(int index);
    const Slot* slot(int index) const;

    void runReadySockets();
    void acceptConnections();
    bool acceptWithoutDescriptors();
    void setListening(bool armed);
    void receive(int index);
    void flushOutput(int index);
    void watchOutput(int index, bool watch);
    void release(int index);
    void dropConnection(int index);
    void raiseDropped();

    // std::deque: growing it never moves a slot that a suspended handler,
    // further up the stack, may still be using.
    std::deque<Slot> m_slots;
    int m_epoll = -1;
    int m_spareFd = -1;
    int m_pendingRequest = -1;
    int m_yieldDepth = 0;
    qsizetype m_outputCap = defaultOutputCap;
    // Every read lands here first, so that a slot's input holds only what
    // arrived: a slot never keeps a read-sized buffer it did not fill.
    QByteArray m_readBuffer;
    std::vector<int> m_dropped;
    QSocketNotifier* m_notifier = nullptr;
};
