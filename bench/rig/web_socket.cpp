#include "web_socket.h"

#include "sockets.h"

#include <sys/socket.h>
#include <unistd.h>

#include <utility>

namespace bench {

namespace {

constexpr size_t answerLimit = 8 * 1024;
// Far beyond any message the server sends; a frame longer is taken as garbage.
constexpr uint64_t frameLimit = 16 * 1024 * 1024;

enum Opcode : uint8_t { continuation = 0, text = 1, binary = 2, close = 8 };

// Masking keys need only differ, not be secret: no proxy stands between the
// load and the server.
uint32_t nextMaskingKey()
{
    static thread_local uint32_t state = 0x9e3779b9;
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

} // namespace

int connectWebSocket(int port, in_addr_t from, int receiveBuffer)
{
    const int fd = connectTo(port, from, receiveBuffer);
    if (fd < 0)
        return -1;
    // The key is the example of RFC 6455: its answer is not checked.
    const std::string host = "127.0.0.1:" + std::to_string(port);
    const std::string request = "GET /chat HTTP/1.1\r\nHost: " + host
        + "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
          "Origin: http://"
        + host + "\r\n\r\n";
    // A new connection's send buffer takes it whole.
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string maskedFrame(std::string_view payload)
{
    std::string frame;
    frame.reserve(payload.size() + 14);
    frame += char(0x80 | binary); // the final frame of its message
    const uint64_t size = payload.size();
    if (size < 126) {
        frame += char(0x80 | size);
    } else if (size <= 0xffff) {
        frame += char(0x80 | 126);
        frame += char(size >> 8);
        frame += char(size & 0xff);
    } else {
        frame += char(0x80 | 127);
        for (int shift = 56; shift >= 0; shift -= 8)
            frame += char((size >> shift) & 0xff);
    }
    const uint32_t key = nextMaskingKey();
    const char mask[4] = { char(key >> 24), char(key >> 16), char(key >> 8), char(key) };
    frame.append(mask, 4);
    for (size_t i = 0; i < payload.size(); ++i)
        frame += char(payload[i] ^ mask[i % 4]);
    return frame;
}

WebSocketReader::State WebSocketReader::take(std::string_view bytes, const Message& message)
{
    std::string joined;
    if (!m_pending.empty()) {
        joined = std::exchange(m_pending, {}).append(bytes);
        bytes = joined;
    }
    while (m_state != State::Closed && !bytes.empty()) {
        const size_t taken
            = m_state == State::Opening ? takeAnswer(bytes) : takeFrame(bytes, message);
        if (taken == 0)
            break;
        bytes.remove_prefix(taken);
    }
    if (m_state != State::Closed)
        m_pending.assign(bytes);
    return m_state;
}

size_t WebSocketReader::takeAnswer(std::string_view bytes)
{
    const size_t end = bytes.find("\r\n\r\n");
    if (end == std::string_view::npos) {
        if (bytes.size() > answerLimit)
            m_state = State::Closed;
        return 0;
    }
    m_state = bytes.starts_with("HTTP/1.1 101 ") ? State::Open : State::Closed;
    return end + 4;
}

size_t WebSocketReader::takeFrame(std::string_view bytes, const Message& message)
{
    if (bytes.size() < 2)
        return 0;
    const auto first = uint8_t(bytes[0]);
    const auto second = uint8_t(bytes[1]);
    uint64_t size = second & 0x7f;
    size_t header = 2;
    if (size >= 126) {
        const size_t lengthBytes = size == 126 ? 2 : 8;
        if (bytes.size() < header + lengthBytes)
            return 0;
        size = 0;
        for (size_t i = 0; i < lengthBytes; ++i)
            size = size << 8 | uint8_t(bytes[header + i]);
        header += lengthBytes;
    }
    // A server never masks.
    if ((second & 0x80) != 0 || size > frameLimit) {
        m_state = State::Closed;
        return 0;
    }
    if (bytes.size() - header < size)
        return 0;
    const std::string_view payload = bytes.substr(header, size);
    const bool final = (first & 0x80) != 0;
    switch (first & 0x0f) {
    case close:
        m_state = State::Closed;
        if (size >= 2)
            m_closeCode = uint8_t(payload[0]) << 8 | uint8_t(payload[1]);
        break;
    case text:
    case binary:
        if (final) {
            message(payload);
            break;
        }
        m_fragments.assign(payload);
        break;
    case continuation:
        m_fragments.append(payload);
        if (final)
            message(std::exchange(m_fragments, {}));
        break;
    default: // pings and pongs: the server sends none unasked
        break;
    }
    return header + size_t(size);
}

} // namespace bench
