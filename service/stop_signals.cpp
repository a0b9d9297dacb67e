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

int setHandler(int signal, void (*handler)(int))
{
    struct sigaction action { };
    action.sa_handler = handler;
    ::sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(signal, &action, nullptr);
}

// The default action is refused only to signals that cannot be caught, and
// these can.
void restoreDefaults()
{
    for (const int signal : stopSignals)
        [[maybe_unused]] const int ignored = setHandler(signal, SIG_DFL);
}

Failure unhandled(int code)
{
    return { code,
        QStringLiteral("SIGTERM, SIGINT and SIGHUP cannot be handled: %1.")
            .arg(systemError(code).text) };
}

// Every signal to the loop, or none.
Failure handleInLoop()
{
    for (const int signal : stopSignals) {
        if (setHandler(signal, writeSignal) != 0) {
            const int code = errno;
            restoreDefaults();
            return unhandled(code);
        }
    }
    return {};
}

} // namespace

StopSignals::StopSignals(QObject* parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPair) != 0) {
        m_failure = unhandled(errno);
        return;
    }
    m_failure = handleInLoop();
    if (m_failure) {
        closePair();
        return;
    }
    m_notifier = new QSocketNotifier(signalPair[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &StopSignals::readSignal);
}

StopSignals::~StopSignals()
{
    if (!m_notifier)
        return;
    restoreDefaults();
    delete m_notifier;
    closePair();
}

void StopSignals::closePair()
{
    for (int& fd : signalPair)
        closeDescriptor(std::exchange(fd, -1));
}

void StopSignals::readSignal()
{
    unsigned char number = 0;
    while (::read(signalPair[1], &number, 1) == 1)
        emit received(number);
}
