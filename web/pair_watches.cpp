#include "pair_watches.h"

#include "failure.h"

#include <array>
#include <cerrno>

#include <sys/epoll.h>

namespace {

constexpr int eventsPerPass = 64;

} // namespace

PairWatches::PairWatches(QObject* parent)
    : QObject(parent)
    , m_fd(::epoll_create1(EPOLL_CLOEXEC))
    , m_notifier(m_fd, QSocketNotifier::Read)
{
    m_notifier.setEnabled(m_fd >= 0);
    connect(&m_notifier, &QSocketNotifier::activated, this, &PairWatches::dispatch);
}

PairWatches::~PairWatches()
{
    if (m_fd >= 0)
        closeDescriptor(m_fd);
}

bool PairWatches::watch(int fd, quint32 events, const Handler* handler)
{
    epoll_event event { events, {} };
    event.data.ptr = const_cast<Handler*>(handler);
    return ::epoll_ctl(m_fd, EPOLL_CTL_ADD, fd, &event) == 0;
}

bool PairWatches::change(int fd, quint32 events, const Handler* handler)
{
    epoll_event event { events, {} };
    event.data.ptr = const_cast<Handler*>(handler);
    return ::epoll_ctl(m_fd, EPOLL_CTL_MOD, fd, &event) == 0;
}

// A handler may close its own pair, or another's; the bridges it belongs to
// are deleted later, so every handler in the pass is still there.
void PairWatches::dispatch()
{
    std::array<epoll_event, eventsPerPass> ready;
    const int count = ::epoll_wait(m_fd, ready.data(), eventsPerPass, 0);
    for (int i = 0; i < count; ++i)
        (*static_cast<const Handler*>(ready[i].data.ptr))(ready[i].events);
}
