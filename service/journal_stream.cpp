#include "journal_stream.h"

#include "failure.h"

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>

namespace {

bool isPrintableLatin1(uchar c)
{
    return (c >= 0x20 && c < 0x7f) || c >= 0xa0;
}

} // namespace

QByteArray journalLine(Priority priority, QByteArrayView latin1)
{
    static constexpr char hex[] = "0123456789abcdef";
    // Room left for the longest cut-off note.
    constexpr qsizetype noteRoom = 64;
    QByteArray line = '<' + QByteArray::number(int(priority)) + '>';
    line.reserve(journalLineMax);
    qsizetype taken = 0;
    for (; taken < latin1.size() && line.size() <= journalLineMax - noteRoom; ++taken) {
        const char byte = latin1[taken];
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
    if (taken < latin1.size())
        line += " [" + QByteArray::number(latin1.size() - taken) + " more bytes left out]";
    line += '\n';
    return line;
}

JournalStream::JournalStream(int fd, QObject* parent)
    : QObject(parent)
    , m_fd(fd)
{
    struct stat status { };
    if (::fstat(fd, &status) != 0)
        return;
    // A socket (the journal's own stream) takes a flag per call instead.
    m_isSocket = S_ISSOCK(status.st_mode);
    if (S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode)) {
        const QByteArray path = "/proc/self/fd/" + QByteArray::number(fd);
        const int own = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (own >= 0) {
            m_fd = own;
            m_ownsFd = true;
        }
    }
    if (m_isSocket || m_ownsFd) {
        m_writable = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Write);
        m_writable->setEnabled(false);
        connect(m_writable.get(), &QSocketNotifier::activated, this, [this] {
            if (writePending())
                writeDroppedCount();
        });
    }
}

JournalStream::~JournalStream()
{
    m_writable.reset();
    if (m_ownsFd)
        closeDescriptor(m_fd);
}

void JournalStream::write(const QByteArray& line)
{
    if (writePending())
        writeDroppedCount();
    if (!m_pending.isEmpty()) {
        ++m_dropped;
        return;
    }
    m_pending = line;
    writePending();
}

void JournalStream::writeDroppedCount()
{
    if (m_dropped == 0)
        return;
    m_pending = journalLine(Priority::Warning,
        QByteArray::number(std::exchange(m_dropped, 0))
            + " lines were left out here: standard error did not keep up.");
    writePending();
}

// Anything but a full stream (one gone, a failing disk) drops what waits:
// there is nobody to tell.
bool JournalStream::writePending()
{
    while (!m_pending.isEmpty()) {
        const ssize_t n = m_isSocket
            ? ::send(
                m_fd, m_pending.constData(), size_t(m_pending.size()), MSG_DONTWAIT | MSG_NOSIGNAL)
            : ::write(m_fd, m_pending.constData(), size_t(m_pending.size()));
        if (n > 0)
            m_pending.remove(0, n);
        else if (n < 0 && errno == EINTR)
            continue;
        else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && m_writable)
            break;
        else
            m_pending.clear();
    }
    if (m_writable)
        m_writable->setEnabled(!m_pending.isEmpty());
    return m_pending.isEmpty();
}
