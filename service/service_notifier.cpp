#include "service_notifier.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <unistd.h>

ServiceNotifier::ServiceNotifier(QObject* parent)
    : QObject(parent)
{
    m_statusTimer.setSingleShot(true);
    connect(&m_statusTimer, &QTimer::timeout, this, &ServiceNotifier::sendStatus);
    // Taken from the environment, so that no child of ours speaks for us.
    QByteArray path = qgetenv("NOTIFY_SOCKET");
    ::unsetenv("NOTIFY_SOCKET");
    m_managed = !path.isEmpty();
    if (!m_managed)
        return;
    if (size_t(path.size()) > sizeof m_address.sun_path) {
        m_socketError = ENAMETOOLONG;
        return;
    }
    if (path.startsWith('@'))
        path[0] = '\0';
    m_address.sun_family = AF_UNIX;
    std::memcpy(m_address.sun_path, path.constData(), size_t(path.size()));
    m_addressLength = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(path.size()));
    m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    m_socketError = m_fd < 0 ? errno : 0;
}

ServiceNotifier::~ServiceNotifier()
{
    if (m_fd >= 0)
        closeDescriptor(m_fd);
}

// Without a manager there is nobody to fold statuses for.
void ServiceNotifier::setStatus(const QString& status)
{
    if (!m_managed)
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
    if (!m_managed)
        return;
    if (m_fd < 0)
        report(m_socketError);
    else if (::sendto(m_fd, message.constData(), size_t(message.size()), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&m_address), m_addressLength)
        < 0)
        report(errno);
}

void ServiceNotifier::report(int code)
{
    if (std::exchange(m_reported, true))
        return;
    emit failed({ code,
        QStringLiteral("The service manager cannot be told how the service stands: %1.")
            .arg(systemError(code).text) });
}
