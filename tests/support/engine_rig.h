#pragma once

#include "fake_console.h"
#include "fake_slot_array.h"
#include "relay_engine.h"
#include "server_state.h"

// The engine on the two fakes, loaded as the window loads it.
struct EngineRig {
    ServerState state;
    FakeSlotArray server;
    FakeConsole console;
    RelayEngine engine { state, server, console };

    EngineRig() { engine.Form_Load(); }
    // Started as "op", with these clients joined on slots 1, 2, ... and nothing sent yet.
    void startWith(const QByteArrayList& nicknames)
    {
        console.txtNickname = QStringLiteral("op");
        engine.cmdStart_Click();
        for (const QByteArray& name : nicknames)
            server.receive(server.connectClient(), "USER:" + name);
        server.clearInboxes();
    }
};
