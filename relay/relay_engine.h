#pragma once

#include "shared_roster.h"

#include <QObject>
#include <QString>

class OperatorConsole;
class SlotArray;
struct ServerState;

// The server's behaviour: one handler per window or slot event, each reading
// like the steps it performs. Loops over slots yield after every message and
// take their bounds once, when they start, so runs of handlers may nest
// inside a yield and see the state change underneath them. They visit only
// the slots connected at their turn, so their cost follows the clients
// connected now, however many have come and gone.
class RelayEngine final : public QObject {
    Q_OBJECT

public:
    RelayEngine(
        ServerState& state, SlotArray& server, OperatorConsole& console, QObject* parent = nullptr);

    void Form_Load();
    void cmdStart_Click();
    void cmdStop_Click();
    void cmdSend_Click();
    void txtNickname_Change();

    void Server_ConnectionRequest(int index, qint32 requestID);
    void Server_DataArrival(int index, qint64 bytesTotal);
    void Server_Close(int index);

signals:
    // A start took the service from stopped to listening.
    void serviceStarted(int port, const QString& nickname);
    // A stop took it from listening to stopped.
    void serviceStopped();

private:
    int requestedPort() const;
    void refuseStart(const QString& text);
    void showNotRunning();
    void updateOnline();
    void followNewestLine();

    int rosterRowOf(int index) const;
    int nextSlot(int after, int lastSlot) const;
    void sendBestEffort(int index, const QByteArray& bytes);
    QByteArray operatorLine() const;
    void join(int index, const QByteArray& text);
    void relayChatLine(const QByteArray& text);
    void broadcastRoster(const QByteArray& event);

    ServerState& m_state;
    SlotArray& m_server;
    OperatorConsole& m_console;
    SharedRoster m_roster;
};
