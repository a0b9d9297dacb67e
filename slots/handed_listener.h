#pragma once

#include "failure.h"

#include <QtGlobal>

// A listening socket the service manager opened for the program and handed
// over at its start (socket activation): descriptor 3, named by LISTEN_PID
// and LISTEN_FDS. The port is bound before the program runs, so it needs no
// right to bind it.
struct HandedListener {
    int fd = -1;
    quint16 port = 0;
};

// The socket handed to this process, if any: none when LISTEN_PID names
// another process. Anything but one listening TCP socket is refused. The
// variables are removed, so that no child takes the socket for its own.
HandedListener takeHandedListener(Failure& failure);
