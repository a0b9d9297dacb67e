#pragma once

#include "operator_console.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>

struct ServerState;

// How the journal reads a line's importance from its prefix.
enum class Priority { Error = 3, Warning = 4, Info = 6 };

// A line for the journal: the priority prefix, then `latin1` with every byte
// outside printable Latin-1, and the backslash, written as \xNN or \\, so
// that a client can neither break a line nor send the terminal an escape.
// The rest is UTF-8, as the journal and terminals expect.
QByteArray journalLine(Priority priority, QByteArrayView latin1);

// The console of the program run as a service, without a window. What the
// window's log would show goes to standard error, a line a row: joins, chat
// lines and the server's own notes, and here departures too. What the window
// would ask of the operator cannot be asked: a message box becomes an error
// line.
class HeadlessConsole final : public QObject, public OperatorConsole {
    Q_OBJECT

public:
    HeadlessConsole(
        ServerState& state, const QString& nickname, quint16 port, QObject* parent = nullptr);

    void write(Priority priority, QByteArrayView latin1);

    void setCaption(const QString&) override { }
    QString nickname() const override { return m_nickname; }
    QString message() const override { return {}; }
    void setMessage(const QString&) override { }
    QString portText() const override { return QString::number(m_port); }
    void setPortEnabled(bool) override { }
    void setStartEnabled(bool) override { }
    void setStopEnabled(bool) override { }
    void setStatus(const QString&, quint32) override { }
    void setOnline(const QString& caption) override;
    void showMessageBox(const QString& text, const QString& title, Icon icon) override;
    void flash() override { }

signals:
    // The number of users in the roster, the operator's row included.
    void onlineChanged(int users);

private:
    ServerState& m_state;
    QString m_nickname;
    quint16 m_port;
};
