#pragma once

#include "slot_array.h"
#include "slot_table.h"
#include "token_bucket.h"

#include <QByteArray>
#include <QTimer>

#include <chrono>
#include <vector>

class QSocketNotifier;

// The slot array over non-blocking POSIX sockets and one epoll instance.
//
// Qt's event loop watches only the epoll descriptor, so one yield costs the
// same however many clients are connected. Readiness is level-triggered:
// every pass handles what is ready now, and a pass run from inside a handler
// simply sees what the outer pass has not handled yet.
//
// No client can take more than its share: its input is read no faster than
// its budget allows (the rest waits in the kernel, and TCP slows the sender
// down), and its unsent output is capped.
class SocketSlotArray final : public SlotArray {
    Q_OBJECT

public:
    // Unsent output a client may leave queued before it is cut off.
    static constexpr qsizetype defaultOutputCap = 1024 * 1024;
    // How fast a client's input is taken in.
    static constexpr InputBudget defaultInputBudget { 64 * 1024, 1024 * 1024 };
    // Yields nest no deeper than this; past it a yield returns at once.
    static constexpr int maxYieldDepth = 64;
    // How long a ready socket and a waiting window event may wait while a
    // handler sends and yields.
    static constexpr std::chrono::microseconds socketCheckInterval { 50 };
    static constexpr std::chrono::milliseconds windowPassInterval { 1 };

    explicit SocketSlotArray(QObject* parent = nullptr);
    ~SocketSlotArray() override;

    SlotError Bind(int index, quint16 port) override;
    SlotError Listen(int index) override;
    void Close(int index) override;
    SlotError Load(int index) override;
    SlotError Accept(int index, qint32 requestID) override;
    SlotError SendData(int index, const QByteArray& bytes) override;
    QByteArray GetData(int index) override;
    int State(int index) const override;
    QString RemoteHostIP(int index) const override;
    QString LocalIP(int index) const override;
    void DoEvents() override;
    int nextConnected(int after) const override;

    void setOutputCap(qsizetype bytes) { m_outputCap = bytes; }
    // Applies to connections accepted from now on.
    void setInputBudget(InputBudget budget);

    int lastSlot() const { return m_table.lastCreated(); }
    int openConnections() const { return m_table.openCount(); }
    // Readiness events handled so far: a measure of how busy the loop is.
    qint64 readyEvents() const { return m_readyEvents; }

private:
    void runReadySockets();
    void acceptConnections();
    bool acceptWithoutDescriptors();
    void setListening(bool armed);
    void receive(int index);
    void flushOutput(int index);
    void updateWatch(int index, Connection& connection);
    qint64 resumeThreshold() const;
    void throttle(int index, Connection& connection);
    void resumeThrottled();
    void release(Connection& connection);
    void dropConnection(int index);
    void raiseDropped();

    SlotTable m_table;
    int m_listenFd = -1;
    int m_listenState = sckClosed;
    int m_epoll = -1;
    int m_spareFd = -1;
    int m_pendingRequest = -1;
    int m_yieldDepth = 0;
    std::chrono::steady_clock::time_point m_socketsChecked;
    std::chrono::steady_clock::time_point m_windowPassRun;
    qint64 m_readyEvents = 0;
    qsizetype m_outputCap = defaultOutputCap;
    InputBudget m_inputBudget = defaultInputBudget;
    // Every read lands here first, so that a slot's input holds only what
    // arrived: a slot never keeps a read-sized buffer it did not fill.
    QByteArray m_readBuffer;
    std::vector<int> m_dropped;
    // Slots over their budget, and the one timer that reads them again.
    std::vector<int> m_throttled;
    QTimer m_refillTimer;
    QSocketNotifier* m_notifier = nullptr;
};
