#pragma once

#include "client.h"
#include "server_process.h"

#include <string>

namespace bench {

// Ours serving with `page` shown, and two clients from addresses of their
// own joined under their names; `joined` is false where they could not join,
// which a table row of the phase then says (after `row`, its first cells).
struct JoinedPair {
    JoinedPair(const std::string& binary, const char* page, const std::string& firstName,
        const std::string& secondName, const std::string& row = "",
        const std::vector<std::string>& options = {});

    ServerProcess server;
    Client first;
    Client second;
    bool joined;
};

} // namespace bench
