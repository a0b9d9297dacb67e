#pragma once

#include "handed_listener.h"
#include "headless_console.h"
#include "moderation.h"
#include "relay_engine.h"
#include "rules_file.h"
#include "server_state.h"
#include "service_notifier.h"
#include "socket_slot_array.h"
#include "web_port.h"

#include <QObject>

// The program without a window, as a service: the same engine, started at
// once with the nickname and port given (or on the socket handed over), its
// log on standard error, and the service manager told how it stands. It
// reads the access rules from their file at start and when asked to reload.
class HeadlessService final : public QObject {
    Q_OBJECT

public:
    HeadlessService(const QString& nickname, quint16 port, const HandedListeners& handed,
        const RulesFile& rules, std::vector<Network> allowed);

    // The chat page's port; 0 serves none.
    void setWebPort(quint16 port) { m_webPort.setPort(port); }

    // Serves, or says on standard error why it cannot and returns false.
    bool start();
    // Stops as the Stop button does, and ends the event loop with status 0.
    void stop(int signal);
    // Reads the rules file again; a wrong file leaves the rules in force.
    void reload();

private:
    void reportOnline(int users);

    SocketSlotArray m_server;
    ServerState m_state;
    HeadlessConsole m_console;
    RelayEngine m_engine { m_state, m_server, m_console };
    Moderation m_moderation { m_state, m_server };
    RulesFile m_rules;
    ServiceNotifier m_notifier;
    WebPort m_webPort { m_engine, m_server };
};
