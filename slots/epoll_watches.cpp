#include "epoll_watches.h"

#include <cerrno>

#include <poll.h>
#include <unistd.h>

EpollWatches::EpollWatches()
    : EpollWatches(::epoll_create1(EPOLL_CLOEXEC))
{
    // Without it the server cannot wait for any client at all.
    if (m_fd < 0)
        qFatal("epoll_create1: %s", qPrintable(systemError(errno).text));
}

EpollWatches::EpollWatches(int descriptor)
    : m_fd(descriptor)
{
}

EpollWatches::~EpollWatches()
{
    if (m_fd >= 0)
        closeDescriptor(m_fd);
}

Failure EpollWatches::watch(int fd, quint64 key, quint32& watched, quint32 wanted)
{
    if (wanted == watched)
        return {};
    epoll_event event {};
    event.events = wanted;
    event.data.u64 = key;
    const int operation = watched == 0 ? EPOLL_CTL_ADD
        : wanted == 0                  ? EPOLL_CTL_DEL
                                       : EPOLL_CTL_MOD;
    if (::epoll_ctl(m_fd, operation, fd, &event) != 0)
        return systemError(errno);
    watched = wanted;
    return {};
}

std::span<epoll_event> EpollWatches::ready(std::span<epoll_event> events)
{
    const int count = ::epoll_wait(m_fd, events.data(), int(events.size()), 0);
    if (count >= 0)
        return events.first(std::size_t(count));
    // Interrupted, it is asked again at the next pass, as the descriptor is
    // still readable; any other failure means the set itself is broken.
    if (errno != EINTR)
        qFatal("epoll_wait: %s", qPrintable(systemError(errno).text));
    return {};
}

bool EpollWatches::hasReady() const
{
    pollfd set { m_fd, POLLIN, 0 };
    return ::poll(&set, 1, 0) == 1;
}
