#include "stop_signals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <utility>

#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int stopSignals[] = { SIGTERM, SIGINT, SIGHUP };
// Written by the handler, read by the event loop.
int signalPair[2] = { -1, -1 };

void writeSignal(int signal)
{
    const int savedErrno = errno;
    const auto number = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(signalPair[0], &number, 1);
    errno = savedErrno;
}

void handleWith(void (*handler)(int))
{
    struct sigaction action { };
    action.sa_handler = handler;
    ::sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : stopSignals)
        ::sigaction(signal, &action, nullptr);
}

} // namespace

StopSignals::StopSignals(QObject* parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPair) != 0)
        return;
    m_notifier = new QSocketNotifier(signalPair[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &StopSignals::readSignal);
    handleWith(writeSignal);
}

StopSignals::~StopSignals()
{
    if (!m_notifier)
        return;
    handleWith(SIG_DFL);
    delete m_notifier;
    for (int& fd : signalPair)
        ::close(std::exchange(fd, -1));
}

void StopSignals::readSignal()
{
    unsigned char number = 0;
    while (::read(signalPair[1], &number, 1) == 1)
        emit received(number);
}
