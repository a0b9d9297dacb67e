#include "handed_listener.h"

#include <QByteArray>

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

HandedListener takeHandedListener(Failure& failure)
{
    const QByteArray pid = qgetenv("LISTEN_PID");
    const QByteArray count = qgetenv("LISTEN_FDS");
    for (const char* name : { "LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES" })
        ::unsetenv(name);
    bool isNumber = false;
    if (pid.toLongLong(&isNumber) != ::getpid() || !isNumber)
        return {};
    if (count != "1") {
        failure = {
            EINVAL,
            QStringLiteral("%1 sockets were handed over, not one").arg(QString::fromLatin1(count))
        };
        return {};
    }
    const HandedListener handed { firstHandedFd, localPort(firstHandedFd) };
    if (!isListeningStream(handed.fd) || handed.port == 0) {
        failure = { ENOTSOCK, QStringLiteral("descriptor 3 is not a listening TCP socket") };
        return {};
    }
    const auto refuse = [&failure](const QString& what) {
        const int code = errno;
        failure = { code, what.arg(systemError(code).text) };
        return HandedListener {};
    };
    // A blocking socket would hold the only thread in accept().
    const int flags = ::fcntl(handed.fd, F_GETFL);
    if (flags < 0 || ::fcntl(handed.fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return refuse(QStringLiteral("descriptor 3 cannot be made non-blocking: %1"));
    if (::fcntl(handed.fd, F_SETFD, FD_CLOEXEC) != 0)
        return refuse(QStringLiteral("descriptor 3 cannot be kept from child processes: %1"));
    return handed;
}
