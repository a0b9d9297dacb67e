#include "client_connection.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A client's output buffer of up to this size is kept between turns, so that
// a busy client does not cost an allocation a turn; a larger one is given back.
constexpr qsizetype keptOutputBuffer = 8 * 1024;

// Where the kernel refuses an option, the connection works without it: a
// dead peer is then found only once its output reaches its cap.
bool probesForDeadPeer(int fd)
{
    const auto set = [fd](int level, int name, int value) {
        return ::setsockopt(fd, level, name, &value, sizeof value) == 0;
    };
    using std::chrono::milliseconds;
    return set(SOL_SOCKET, SO_KEEPALIVE, 1)
        && set(IPPROTO_TCP, TCP_KEEPIDLE, int(ClientConnection::keepAliveIdle.count()))
        && set(IPPROTO_TCP, TCP_KEEPINTVL, int(ClientConnection::keepAliveInterval.count()))
        && set(IPPROTO_TCP, TCP_KEEPCNT, ClientConnection::keepAliveProbes)
        && set(IPPROTO_TCP, TCP_USER_TIMEOUT,
            int(milliseconds(ClientConnection::deadPeerAfter).count()));
}

bool isPacketSocket(int fd)
{
    int type = 0;
    socklen_t length = sizeof type;
    return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_SEQPACKET;
}

// A message larger than the send buffer cannot go as one packet; the kernel
// caps what is asked at its own limit, a few hundred KiB, which holds the
// largest message the relay composes (a read of 64 KiB behind a nickname).
constexpr int packetSendBuffer = 4 * 1024 * 1024;

bool wouldBlock(int code)
{
    return code == EAGAIN || code == EWOULDBLOCK;
}

} // namespace

ClientConnection::ClientConnection(int fd, int index, const sockaddr_in6& remote,
    AddressLedger::Account& account, EpollWatches& inputWatches, EpollWatches& outputWatches,
    qsizetype& allUnsent)
    : remote(remote)
    , account(account)
    , m_fd(fd)
    , m_index(index)
    , m_inputWatches(inputWatches)
    , m_outputWatches(outputWatches)
    , m_allUnsent(allUnsent)
    , m_keepsMessagesApart(isPacketSocket(fd))
{
    if (m_keepsMessagesApart) {
        // Where refused, a message too large for a packet fails its write,
        // and the client departs.
        (void)::setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &packetSendBuffer, sizeof packetSendBuffer);
        return;
    }
    // Without it a line waits for the peer's acknowledgement of the one
    // before; a client still works, only later.
    const int on = 1;
    (void)::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    (void)probesForDeadPeer(m_fd);
}

ClientConnection::~ClientConnection()
{
    release();
}

ClientConnection::Read ClientConnection::read(
    qint64 allowance, QByteArray& buffer, bool peerClosing)
{
    Read read;
    if (m_keepsMessagesApart)
        allowance = buffer.size();
    while (read.received < allowance) {
        const auto wanted = std::size_t(std::min<qint64>(buffer.size(), allowance - read.received));
        const ssize_t n = ::recv(m_fd, buffer.data(), wanted, 0);
        if (n > 0) {
            m_input.append(buffer.constData(), n);
            read.received += n;
            // Packets left wait for the next read, so that each is a
            // message of its own; readiness brings the connection back.
            if (m_keepsMessagesApart)
                break;
            // Less than asked for: the rest has not arrived yet, and
            // readiness brings the connection back once it has.
            if (std::size_t(n) < wanted && !peerClosing) {
                read.end = ReadEnd::Drained;
                break;
            }
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            read.end = n < 0 && wouldBlock(errno) ? ReadEnd::Drained : ReadEnd::PeerGone;
            break;
        }
    }
    return read;
}

void ClientConnection::queue(QByteArrayView bytes)
{
    spellOutRows();
    append(bytes);
}

void ClientConnection::queueRoster(const RosterBroadcast& roster)
{
    m_allUnsent -= std::exchange(m_rowsBytes, 0);
    m_rows.reset();
    m_lagMark = std::min(m_lagMark, m_taken + unsent());
    append(roster.start);
    append(roster.event);
    m_rows = roster.rows;
    m_rowsBytes = m_rows->bytes;
    m_allUnsent += m_rowsBytes;
}

void ClientConnection::append(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return;
    m_output.append(bytes);
    m_allUnsent += bytes.size();
    if (m_keepsMessagesApart)
        m_messageSizes.push_back(bytes.size());
}

void ClientConnection::spellOutRows()
{
    if (!m_rows)
        return;
    m_allUnsent -= m_rowsBytes;
    m_rowsBytes = 0;
    const std::shared_ptr<const RosterRows> rows = std::exchange(m_rows, nullptr);
    for (const QByteArray& row : rows->rows)
        append(row);
}

Failure ClientConnection::write(TimePoint now)
{
    spellOutRows();
    if (Failure failure = writeOut(now))
        return failure;
    if (unsent() > 0)
        return waitForRoom(now);
    if (m_output.isDetached() && m_output.capacity() <= keptOutputBuffer)
        m_output.resize(0);
    else
        m_output = QByteArray();
    m_outputSent = 0;
    m_watchingOutput = false;
    return updateWatch();
}

// Writes until the kernel takes no more; a failed write stops all writing.
// On a packet socket each message goes in a write of its own, whole or not
// at all.
Failure ClientConnection::writeOut(TimePoint now)
{
    while (unsent() > 0) {
        const qsizetype wanted = m_keepsMessagesApart ? m_messageSizes.front() : unsent();
        const ssize_t n = ::send(m_fd, m_output.constData() + m_outputSent, std::size_t(wanted),
            MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            if (m_keepsMessagesApart)
                m_messageSizes.pop_front();
            took(n, now);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && wouldBlock(errno)) {
            return {};
        } else {
            const int error = n < 0 ? errno : EPIPE;
            stopWriting();
            return systemError(error);
        }
    }
    return {};
}

void ClientConnection::took(qsizetype bytes, TimePoint now)
{
    m_outputSent += bytes;
    m_allUnsent -= bytes;
    m_taken += bytes;
    m_progress = now;
    if (m_taken >= m_lagMark) {
        m_lagMark = m_taken + unsent();
        m_lagMarkTime = now;
    }
}

// The socket takes no more: the clocks that tell whether its peer makes
// progress start now, unless they run already.
Failure ClientConnection::waitForRoom(TimePoint now)
{
    if (!m_watchingOutput) {
        m_progress = m_lagMarkTime = now;
        m_lagMark = m_taken + unsent();
    }
    // Keep the buffer from holding on to what has gone out already.
    if (m_outputSent > m_output.size() / 2) {
        m_output.remove(0, m_outputSent);
        m_outputSent = 0;
    }
    m_watchingOutput = true;
    return updateWatch();
}

Failure ClientConnection::updateWatch()
{
    const quint32 input = m_throttled ? 0u : quint32(EPOLLIN | EPOLLRDHUP);
    const quint32 output = m_watchingOutput ? quint32(EPOLLOUT) : 0u;
    Failure failure = m_inputWatches.watch(m_fd, quint64(m_index), m_watchedInput, input);
    if (Failure outputFailure
        = m_outputWatches.watch(m_fd, quint64(m_index), m_watchedOutput, output);
        !failure)
        failure = outputFailure;
    return failure;
}

// Its peer has gone, or is going: what it sent before is still to be read,
// and reading it to its end raises the departure after it. Closing, it is
// passed over by the loops over slots meanwhile.
void ClientConnection::stopWriting()
{
    discardOutput();
    m_state = SlotArray::sckClosing;
    m_watchingOutput = false;
    // Where epoll refuses, the socket stays in the output set, and writing
    // it is tried and refused again until its departure releases it.
    (void)updateWatch();
}

void ClientConnection::discardOutput()
{
    m_allUnsent -= unsent();
    m_output = QByteArray();
    m_outputSent = 0;
    m_messageSizes.clear();
    m_rows.reset();
    m_rowsBytes = 0;
}

void ClientConnection::release()
{
    discardOutput();
    if (m_fd >= 0)
        closeDescriptor(m_fd);
    m_fd = -1;
    m_state = SlotArray::sckClosing;
    m_watchedInput = 0;
    m_watchedOutput = 0;
}
