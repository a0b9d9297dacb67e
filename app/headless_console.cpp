#include "headless_console.h"

#include "server_state.h"

#include <cstdio>

namespace {

bool isPrintableLatin1(uchar c)
{
    return (c >= 0x20 && c < 0x7f) || c >= 0xa0;
}

} // namespace

QByteArray journalLine(Priority priority, QByteArrayView latin1)
{
    static constexpr char hex[] = "0123456789abcdef";
    QByteArray line = '<' + QByteArray::number(int(priority)) + '>';
    line.reserve(line.size() + latin1.size() * 2 + 1);
    for (const char byte : latin1) {
        const auto c = uchar(byte);
        if (c == '\\') {
            line += "\\\\";
        } else if (c < 0x80 && isPrintableLatin1(c)) {
            line += byte;
        } else if (isPrintableLatin1(c)) {
            line += char(0xc0 | (c >> 6));
            line += char(0x80 | (c & 0x3f));
        } else {
            line += "\\x";
            line += hex[c >> 4];
            line += hex[c & 0xf];
        }
    }
    line += '\n';
    return line;
}

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
    const QByteArray line = journalLine(priority, latin1);
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
}

void HeadlessConsole::setOnline(const QString& caption)
{
    emit onlineChanged(caption.toInt());
}

void HeadlessConsole::showMessageBox(const QString& text, const QString&, Icon)
{
    write(Priority::Error, text.toLatin1());
}
