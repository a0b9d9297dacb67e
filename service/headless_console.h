#pragma once

#include "journal_stream.h"
#include "operator_console.h"

#include <QObject>

struct ServerState;

// The console of the program run as a service, without a window. What the
// window's log would show goes to standard error, a line a row: joins, chat
// lines and the server's own notes, and here departures too. What the window
// would ask of the operator cannot be asked: a message box becomes an error
// line. A long row is cut on standard error, never in the transcript.
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
    JournalStream m_journal;
};
