#include "loopback_client.h"

#include <QDir>
#include <QFile>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in loopback(quint16 port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

} // namespace

LoopbackClient::LoopbackClient()
    : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
}

LoopbackClient::LoopbackClient(quint16 port)
    : LoopbackClient()
{
    connectTo(port);
}

bool LoopbackClient::connectTo(quint16 port)
{
    const sockaddr_in address = loopback(port);
    // On loopback the kernel completes the handshake into the listen backlog,
    // so a blocking connect returns without the server having run.
    if (m_fd < 0 || ::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close();
        return false;
    }
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    return true;
}

LoopbackClient::~LoopbackClient()
{
    close();
}

void LoopbackClient::send(QByteArrayView bytes)
{
    m_output.append(bytes);
    pump();
}

bool LoopbackClient::pump()
{
    if (m_fd < 0)
        return true;
    while (!m_output.isEmpty()) {
        const ssize_t n = ::send(m_fd, m_output.constData(), std::size_t(m_output.size()), MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            m_peerClosed = true;
        if (n <= 0)
            break;
        m_output.remove(0, n);
    }
    char buffer[65536];
    while (m_reading) {
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            m_input.append(buffer, n);
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            m_peerClosed = true;
        break;
    }
    return m_peerClosed;
}

const QByteArray& LoopbackClient::received()
{
    pump();
    return m_input;
}

bool LoopbackClient::hasReceived(QByteArrayView bytes)
{
    return received().contains(bytes);
}

void LoopbackClient::reset()
{
    if (m_fd < 0)
        return;
    const linger abortive { 1, 0 };
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    close();
}

void LoopbackClient::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

quint16 freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

int openDescriptors()
{
    // Less ".", ".." and the descriptor that reads the folder.
    return int(QDir(QStringLiteral("/proc/self/fd")).count()) - 3;
}

long residentBytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong() * 1024;
    }
    return 0;
}
