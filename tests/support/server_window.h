#pragma once

#include "loopback.h"
#include "room.h"
#include "server_program.h"

#include <QtTest>
#include <QtWidgets>

// The server as the operator runs it, on a port reserved for it, with
// helpers that bring clients in.
struct ServerWindow : ServerProgram {
    ReservedPort reserved;
    quint16 port = reserved.port;

    template<typename Control = QWidget>
    Control* control(const char* name)
    {
        return frmMain.findChild<Control*>(QLatin1String(name));
    }
    QPushButton* button(const char* name) { return control<QPushButton>(name); }
    void showPage(int page) { control<QTabWidget>("Overzicht")->setCurrentIndex(page); }
    bool showActive()
    {
        frmMain.show();
        return QTest::qWaitForWindowActive(&frmMain, timeoutMs);
    }
    void start(const QString& nickname = QStringLiteral("op"))
    {
        ServerProgram::start(nickname, port);
    }
    Client connect(const char* from = "127.0.0.1") { return greeted(port, from); }
    std::vector<Client> join(const std::vector<std::pair<const char*, QByteArray>>& people)
    {
        return joinedRoom(port, rows(state.Users), people);
    }
    // Whether the client, sending a line, still gets it back.
    static bool stillServed(QTcpSocket& client, const QByteArray& line)
    {
        client.readAll();
        client.write(line);
        return receives(client, line);
    }
};

// Whether the server closes the client without a byte sent: refused before
// its greeting, or disconnected with nothing more said.
inline bool closedUnanswered(QTcpSocket& client)
{
    client.readAll();
    return QTest::qWaitFor(
               [&] { return client.state() == QAbstractSocket::UnconnectedState; }, timeoutMs)
        && client.readAll().isEmpty();
}

// What assistive technology says a control is: its label's name, or its own
// where it has no label.
inline QString spokenName(QWidget* widget)
{
    QAccessibleInterface* control = QAccessible::queryAccessibleInterface(widget);
    const auto labels = control->relations(QAccessible::Label);
    return (labels.isEmpty() ? control : labels.first().first)->text(QAccessible::Name);
}
