#pragma once

#include "failure.h"

#include <QtGlobal>

#include <span>

#include <sys/epoll.h>

// The sockets the slot array waits on, in one epoll instance, each under a
// key of its own (its slot number). Readiness is level-triggered.
class EpollWatches {
public:
    EpollWatches();
    // Takes over `descriptor`, which need not be valid: a set that refuses
    // every watch, for tests.
    explicit EpollWatches(int descriptor);
    ~EpollWatches();
    EpollWatches(const EpollWatches&) = delete;
    EpollWatches& operator=(const EpollWatches&) = delete;

    int descriptor() const { return m_fd; }

    // Makes `fd` wait for `wanted` (0: not at all). `watched` holds what is
    // registered, and changes only if epoll takes the change.
    Failure watch(int fd, quint64 key, quint32& watched, quint32 wanted);
    // What is ready now, without waiting: the front of `events`.
    std::span<epoll_event> ready(std::span<epoll_event> events);
    // Whether anything is ready now.
    bool hasReady() const;

private:
    int m_fd;
};
