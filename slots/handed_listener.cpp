#include "handed_listener.h"

#include <QByteArray>
#include <QList>

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Where the service manager puts the first socket it hands over.
constexpr int firstHandedFd = 3;

bool isListeningStream(int fd)
{
    int type = 0;
    int listening = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM)
        return false;
    length = sizeof listening;
    return ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening;
}

quint16 localPort(int fd)
{
    sockaddr_storage address {};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    return 0;
}

} // namespace

HandedListeners takeHandedListeners(Failure& failure)
{
    const QByteArray pid = qgetenv("LISTEN_PID");
    const QByteArray count = qgetenv("LISTEN_FDS");
    const QList<QByteArray> names = qgetenv("LISTEN_FDNAMES").split(':');
    for (const char* name : { "LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES" })
        ::unsetenv(name);
    bool isNumber = false;
    if (pid.toLongLong(&isNumber) != ::getpid() || !isNumber)
        return {};
    const int handedCount = count.toInt(&isNumber);
    if (!isNumber || handedCount < 1 || handedCount > 2) {
        failure = { EINVAL,
            QStringLiteral("%1 sockets were handed over, not one or two")
                .arg(QString::fromLatin1(count)) };
        return {};
    }
    HandedListeners handed;
    for (int i = 0; i < handedCount; ++i) {
        const int fd = firstHandedFd + i;
        const QByteArray name = names.value(i);
        const bool isWeb = name == "web" || (name != "chat" && i == 1);
        HandedListener& listener = isWeb ? handed.web : handed.chat;
        if (listener.fd >= 0) {
            failure = { EINVAL, QStringLiteral("two sockets were handed over for one port") };
            return {};
        }
        listener = { fd, localPort(fd) };
        if (!isListeningStream(fd) || listener.port == 0) {
            failure = { ENOTSOCK,
                QStringLiteral("descriptor %1 is not a listening TCP socket").arg(fd) };
            return {};
        }
        const int flags = ::fcntl(fd, F_GETFL);
        if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 || flags < 0
            || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
            failure = systemError(errno);
            return {};
        }
    }
    return handed;
}
