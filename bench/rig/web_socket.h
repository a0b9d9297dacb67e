#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include <netinet/in.h>

// The client's side of a WebSocket (RFC 6455), as little of it as the load
// needs: the opening request, masked binary frames out, and the server's
// answer and frames read back message by message. The load generator's
// clients cannot be Qt's, which cannot bind the address a client comes from.
namespace bench {

// A non-blocking connection from `from` to ws://127.0.0.1:PORT/chat, its
// opening request sent as a page the server served would send it; -1 where
// it cannot connect.
int connectWebSocket(int port, in_addr_t from, int receiveBuffer = 0);
// `payload` as one binary frame, masked as a client's must be.
std::string maskedFrame(std::string_view payload);

// What the server sends on one connection: the answer to the opening
// request, then frames. Holds at most one frame not yet whole.
class WebSocketReader {
public:
    enum class State { Opening, Open, Closed };
    using Message = std::function<void(std::string_view)>;

    // Open: for a connection whose answer and greeting were read elsewhere,
    // up to the end of a frame.
    explicit WebSocketReader(State state = State::Opening)
        : m_state(state)
    {
    }

    // Reads the bytes that arrived and calls `message` with each whole
    // message; Closed once the server refused, closed, or sent what no
    // server of RFC 6455 sends.
    State take(std::string_view bytes, const Message& message);
    State state() const { return m_state; }
    // The code of the server's close frame, 0 until one came.
    int closeCode() const { return m_closeCode; }

private:
    // Each reads what starts `bytes`: how many bytes it took, 0 until more
    // arrive.
    size_t takeAnswer(std::string_view bytes);
    size_t takeFrame(std::string_view bytes, const Message& message);

    State m_state;
    int m_closeCode = 0;
    std::string m_pending;
    std::string m_fragments;
};

} // namespace bench
