#pragma once

#include "failure.h"

#include <QtGlobal>

// A listening socket the service manager opened for the program and handed
// over at its start (socket activation), from descriptor 3 on, named by
// LISTEN_PID, LISTEN_FDS and LISTEN_FDNAMES. The port is bound before the
// program runs, so it needs no right to bind it.
struct HandedListener {
    int fd = -1;
    quint16 port = 0;
};

// The chat port's socket and the web page's: by their names "chat" and
// "web" where the service manager gives them, else in that order.
struct HandedListeners {
    HandedListener chat;
    HandedListener web;
};

// The sockets handed to this process, if any: none when LISTEN_PID names
// another process. Anything but one or two listening TCP sockets is
// refused, and so is one that cannot be made non-blocking, which would
// stall the only thread in accept. The variables are removed, so that no
// child takes the sockets for its own.
HandedListeners takeHandedListeners(Failure& failure);
