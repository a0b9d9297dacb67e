#pragma once

#include "hostile_clients.h"

#include <memory>
#include <string>

// Hostile clients of the web port, each a WebSocket from an address of its
// own, as a browser's page might be made to behave.
namespace bench {

// 16 KiB messages as fast as its connection takes them, reading all it is
// sent; connects again whenever the server cuts it off.
class WebFlooder final : public Hostile {
public:
    using Hostile::Hostile;
    void tick() override;
    std::string outcome() const override;

private:
    std::string m_message = "flood " + std::string(16 * 1024 - 6, 'f');
    std::unique_ptr<WebSocketClient> m_peer;
    bool m_flooding = false;
    int m_cutOff = 0;
    int m_lastCloseCode = 0;
};

// Joins once and never reads again what it is sent.
class WebNonReader final : public Hostile {
public:
    using Hostile::Hostile;
    void tick() override;
    std::string outcome() const override;

private:
    std::unique_ptr<WebSocketClient> m_peer;
    bool m_joined = false;
};

} // namespace bench
