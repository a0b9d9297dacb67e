#pragma once

#include "main_window.h"
#include "moderation.h"
#include "relay_engine.h"
#include "rules_file.h"
#include "server_state.h"
#include "socket_slot_array.h"
#include "web_port.h"

#include <QFileInfo>

// The program's objects, built in the order they need each other: the slot
// array, the server state, the window that shows it, the engine and
// moderation that the window's controls drive, and the chat page's port
// that opens and closes with the service. They live as long as this.
struct ServerProgram {
    ServerProgram()
    {
        server.setAccessRules(state.rules);
        frmMain.load(engine);
        frmMain.addRosterMenu(moderation);
        QObject::connect(&webPort, &WebPort::opened, &frmMain, &MainWindow::showWebPage);
        QObject::connect(&webPort, &WebPort::failed, &frmMain, &MainWindow::showWebFailure);
        QObject::connect(&webPort, &WebPort::closed, &frmMain, &MainWindow::hideWebPage);
    }

    // Puts the file's rules in force, and writes them there whenever they
    // change; a failure to write is a row in the log.
    void keepRulesIn(const RulesFile& file)
    {
        if (QFileInfo::exists(file.path()))
            moderation.load(file);
        QObject::connect(&state.rules, &AccessRules::changed, &frmMain, [this, file] {
            if (Failure failure = file.save(state.rules))
                state.transcript.append(
                    QStringLiteral("The access rules could not be saved to %1: %2.")
                        .arg(file.path(), failure.text)
                        .toLatin1());
        });
    }

    // What the operator does to start the service: types a nickname and a
    // port on the Settings page and presses Start Server.
    void start(const QString& nickname, quint16 port)
    {
        frmMain.offerStart(port, nickname);
        engine.cmdStart_Click();
    }

    SocketSlotArray server;
    ServerState state;
    MainWindow frmMain { state, server };
    RelayEngine engine { state, server, frmMain };
    Moderation moderation { state, server };
    WebPort webPort { engine, server };
};
