#pragma once

#include "handed_listener.h"
#include "headless_console.h"
#include "relay_engine.h"
#include "server_state.h"
#include "service_notifier.h"
#include "socket_slot_array.h"

#include <QObject>

// The program without a window, as a service: the same engine, started at
// once with the nickname and port given (or on the socket handed over), its
// log on standard error, and the service manager told how it stands.
class HeadlessService final : public QObject {
    Q_OBJECT

public:
    HeadlessService(const QString& nickname, quint16 port, const HandedListener& handed);

    // Serves, or says on standard error why it cannot and returns false.
    bool start();
    // Stops as the Stop button does, and ends the event loop with status 0.
    void stop(int signal);

private:
    void reportOnline(int users);

    SocketSlotArray m_server;
    ServerState m_state;
    HeadlessConsole m_console;
    RelayEngine m_engine { m_state, m_server, m_console };
    ServiceNotifier m_notifier;
};
