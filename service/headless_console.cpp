#include "headless_console.h"

#include "server_state.h"

HeadlessConsole::HeadlessConsole(
    ServerState& state, const QString& nickname, quint16 port, QObject* parent)
    : QObject(parent)
    , m_state(state)
    , m_nickname(nickname)
    , m_port(port)
{
    TranscriptStore& transcript = state.transcript;
    connect(&transcript, &TranscriptStore::appended, this, [this, &transcript](qint64 row) {
        write(Priority::Info, transcript.row(row).value_or(QByteArray()));
    });
    // The roster is cleared at a stop: only single rows removed are departures.
    connect(&state.Users, &ListModel::rowsAboutToBeRemoved, this,
        [this](const QModelIndex&, int first, int last) {
            for (int row = first; row <= last; ++row)
                write(Priority::Info, "User Left The Chat: " + m_state.Users.List(row));
        });
    const auto storageFailed = [this](const Failure& failure) {
        write(Priority::Warning,
            QStringLiteral("The transcripts are kept in memory from now on: %1.")
                .arg(failure.text)
                .toLatin1());
    };
    connect(&transcript, &TranscriptStore::storageFailed, this, storageFailed);
    if (transcript.failure())
        storageFailed(transcript.failure());
}

void HeadlessConsole::write(Priority priority, QByteArrayView latin1)
{
    m_journal.write(journalLine(priority, latin1));
}

void HeadlessConsole::setOnline(const QString& caption)
{
    emit onlineChanged(caption.toInt());
}

void HeadlessConsole::showMessageBox(const QString& text, const QString&, Icon)
{
    write(Priority::Error, text.toLatin1());
}
