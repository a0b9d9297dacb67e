#include "service_notifier.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

ServiceNotifier::ServiceNotifier(QObject* parent)
    : QObject(parent)
{
    m_statusTimer.setSingleShot(true);
    connect(&m_statusTimer, &QTimer::timeout, this, &ServiceNotifier::sendStatus);
    // Taken from the environment, so that no child of ours speaks for us.
    QByteArray path = qgetenv("NOTIFY_SOCKET");
    ::unsetenv("NOTIFY_SOCKET");
    if (path.isEmpty() || size_t(path.size()) > sizeof m_address.sun_path)
        return;
    if (path.startsWith('@'))
        path[0] = '\0';
    m_address.sun_family = AF_UNIX;
    std::memcpy(m_address.sun_path, path.constData(), size_t(path.size()));
    m_addressLength = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(path.size()));
    m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

ServiceNotifier::~ServiceNotifier()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

// Without a manager there is nobody to fold statuses for.
void ServiceNotifier::setStatus(const QString& status)
{
    if (m_fd < 0)
        return;
    m_status = "STATUS=" + status.toUtf8();
    if (m_statusTimer.isActive())
        return;
    const auto sinceLast
        = std::chrono::milliseconds(m_sinceStatus.isValid() ? m_sinceStatus.elapsed() : 0);
    if (!m_sinceStatus.isValid() || sinceLast >= statusInterval)
        sendStatus();
    else
        m_statusTimer.start(statusInterval - sinceLast);
}

void ServiceNotifier::sendStatus()
{
    send(m_status);
    m_sinceStatus.start();
}

void ServiceNotifier::send(const QByteArray& message)
{
    if (m_fd >= 0)
        ::sendto(m_fd, message.constData(), size_t(message.size()), MSG_NOSIGNAL,
            reinterpret_cast<const sockaddr*>(&m_address), m_addressLength);
}
