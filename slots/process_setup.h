#pragma once

#include "failure.h"

// Readies the process for many clients: a client that goes away while being
// written to must not end it (SIGPIPE ignored), and every client holds a
// descriptor (the open-file limit raised to the hard limit). Fails where the
// limit stays: the server still serves, fewer clients.
Failure prepareProcessForClients();
