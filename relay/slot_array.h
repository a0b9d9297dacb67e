#pragma once

#include "failure.h"
#include "roster_broadcast.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

// The array of TCP endpoints the engine works on, addressed by slot number:
// slot 0 listens, slots 1 and up are accepted connections, numbered in the
// order of their admission and never reused. Events arrive as signals, one at
// a time, in the order their messages were read; DoEvents() writes what
// clients' sockets can take, runs the window's events that are waiting (and,
// inside a handler that sends the roster to everyone, cheap messages'
// handlers, which may call it again) and returns without waiting for new ones.
//
// Text on the wire is Latin-1: one byte per character, passed as bytes.
class SlotArray : public QObject {
    Q_OBJECT

public:
    // The state numbers of the socket control the engine was written against.
    enum SocketState {
        sckClosed = 0,
        sckOpen = 1,
        sckListening = 2,
        sckConnected = 7,
        sckClosing = 8
    };

    using QObject::QObject;

    virtual Failure Bind(int index, quint16 port) = 0;
    virtual Failure Listen(int index) = 0;
    // Stops listening and releases the port; used on slot 0 only.
    virtual void Close(int index) = 0;
    // Creates slot `index`, closed.
    virtual Failure Load(int index) = 0;
    virtual Failure Accept(int index, qint32 requestID) = 0;
    // Hands the bytes over for sending, without waiting for the peer; they
    // go out, after those handed over before, by the end of the loop's turn.
    virtual Failure SendData(int index, const QByteArray& bytes) = 0;
    // Hands over the broadcast's messages as SendData() would, one after
    // another, except that rows not yet written give way to the rows of a
    // newer broadcast: a client is sent every start and event, and the
    // newest roster in full.
    virtual Failure SendRoster(int index, const RosterBroadcast& roster) = 0;
    // Everything received and not yet read.
    virtual QByteArray GetData(int index) = 0;
    virtual int State(int index) const = 0;
    virtual QString RemoteHostIP(int index) const = 0;
    virtual QString LocalIP(int index) const = 0;
    // Closes a client slot's connection; its departure comes as peerClosed,
    // from the loop, not from inside this call.
    virtual void Disconnect(int index) = 0;
    virtual void DoEvents() = 0;

    // The lowest client slot above `after` that is connected now, or 0 when
    // there is none: loops over slots visit the open connections only.
    virtual int nextConnected(int after) const = 0;
    // Runs a window command, clicked on `control`, in its turn: now, or where
    // a handler is suspended in a yield or another command runs, once none
    // is and the commands clicked before it have run. One clicked again while
    // it waits is not queued again.
    virtual void runInTurn(const QObject* control, std::function<void()> command) = 0;

signals:
    void connectionRequest(int index, qint32 requestID);
    void dataArrival(int index, qint64 bytesTotal);
    // The peer of a client slot has closed (or reset, or was cut off).
    void peerClosed(int index);
};
