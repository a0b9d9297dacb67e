#pragma once

#include "fake_console.h"
#include "loopback_client.h"
#include "relay_engine.h"
#include "server_state.h"
#include "socket_slot_array.h"

#include <QDeadlineTimer>
#include <QTest>

#include <memory>

// The whole server but its window, started under the nickname "op" on a free
// port of 127.0.0.1, with helpers that bring clients in.
struct LoopbackServer {
    static constexpr int timeoutMs = 20000;

    ServerState state;
    SocketSlotArray slots_;
    FakeConsole console;
    RelayEngine engine { state, slots_, console };
    quint16 port = freePort();

    LoopbackServer()
    {
        engine.Form_Load();
        state.cmbPort.setListIndex(-1);
        console.typedPort = QString::number(port);
        console.txtNickname = QStringLiteral("op");
        engine.cmdStart_Click();
    }

    // A client that has had its greeting, with nothing else received yet.
    std::unique_ptr<LoopbackClient> connect()
    {
        auto client = std::make_unique<LoopbackClient>(port);
        if (!QTest::qWaitFor([&] { return client->received() == "NICK"; }, timeoutMs))
            return nullptr;
        client->clearReceived();
        return client;
    }
    // A client that has joined and had its join's roster.
    std::unique_ptr<LoopbackClient> join(const QByteArray& nickname)
    {
        auto client = connect();
        if (!client)
            return nullptr;
        // "NEWUSER:" and one "USER:" per row, the newcomer's included.
        const qsizetype expected = 1 + state.Users.ListCount() + 1;
        client->send("USER:" + nickname);
        if (!QTest::qWaitFor([&] { return client->received().count("USER:") == expected; }, timeoutMs))
            return nullptr;
        client->clearReceived();
        return client;
    }
    static QByteArrayList rows(const ListModel& list)
    {
        QByteArrayList texts;
        for (int i = 0; i < list.ListCount(); ++i)
            texts.append(list.List(i));
        return texts;
    }
    // The chat lines of the log, joined, without the join notices.
    QByteArray chatLogged() const
    {
        QByteArray lines;
        for (const QByteArray& row : rows(state.Log)) {
            if (!row.startsWith("User Entered The Chat: "))
                lines += row;
        }
        return lines;
    }
};

// Runs the event loop a pass at a time until `done`, so that clients checked
// in `done` keep reading however busy the server is (QTest::qWaitFor lets
// one call process events for as long as there are any).
template<typename Done>
bool serveUntil(Done done, int timeoutMs = LoopbackServer::timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents();
    }
    return true;
}

// Whether the client, sending a line, still gets it back.
inline bool stillServed(LoopbackClient& client, const QByteArray& line)
{
    client.clearReceived();
    client.send(line);
    return QTest::qWaitFor([&] { return client.hasReceived(line); }, LoopbackServer::timeoutMs);
}
