#pragma once

#include "client.h"
#include "web_socket.h"

namespace bench {

// A client of the web port, as a browser's page is: what it sends goes
// through sendMessage, one WebSocket message each, and what it is sent
// reaches the Client with the framing taken off.
class WebSocketClient final : public Client {
public:
    WebSocketClient(int webPort, in_addr_t from, int epoll = -1)
        : Client(Connected { connectWebSocket(webPort, from) }, epoll)
    {
    }

    void sendMessage(std::string_view message) { write(maskedFrame(message)); }
    // Whether the server has closed the WebSocket, or sent what no server
    // should, and with what code (0 for none).
    bool closedByServer() const { return m_reader.state() == WebSocketReader::State::Closed; }
    int closeCode() const { return m_reader.closeCode(); }

protected:
    void onData(std::string_view bytes) override
    {
        m_reader.take(bytes, [this](std::string_view message) { Client::onData(message); });
    }

private:
    WebSocketReader m_reader;
};

} // namespace bench
