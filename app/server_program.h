#pragma once

#include "main_window.h"
#include "relay_engine.h"
#include "server_state.h"
#include "socket_slot_array.h"

// The program's objects, built in the order they need each other: the slot
// array, the server state, the window that shows it, and the engine that
// the window's controls drive. They live as long as this.
struct ServerProgram {
    ServerProgram() { frmMain.load(engine); }

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
};
