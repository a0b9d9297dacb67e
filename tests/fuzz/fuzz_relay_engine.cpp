// Feeds arbitrary bytes to the engine as client events and operator actions
// over the scripted slot array. Events may also run inside the engine's
// yields, as they do on the real event loop. After every step the server
// state must still hold together.
#include "fake_console.h"
#include "fake_slot_array.h"
#include "relay_engine.h"
#include "server_state.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

class Input {
public:
    Input(const uint8_t* data, size_t size)
        : m_data(data)
        , m_size(size)
    {
    }
    bool atEnd() const { return m_position >= m_size; }
    uint8_t byte() { return atEnd() ? 0 : m_data[m_position++]; }
    // A length byte, then that many bytes.
    QByteArray bytes()
    {
        const size_t length = std::min<size_t>(byte(), m_size - std::min(m_position, m_size));
        const auto* start = reinterpret_cast<const char*>(m_data + m_position);
        m_position += length;
        return QByteArray(start, qsizetype(length));
    }
    QString text() { return QString::fromLatin1(bytes()); }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_position = 0;
};

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

class Harness {
public:
    explicit Harness(Input& input)
        : m_input(input)
    {
        m_engine.Form_Load();
        m_console.txtNickname = QStringLiteral("op");
        m_engine.cmdStart_Click();
        m_server.onYield = [this](int) { eventInsideYield(); };
    }

    void run()
    {
        while (!m_input.atEnd())
            step();
    }

private:
    // A connected client slot chosen by the input, or 0 when there is none.
    int connectedSlot()
    {
        const int slotCount = int(m_server.endpoints.size());
        const int start = 1 + m_input.byte() % std::max(1, slotCount - 1);
        for (int i = 0; i < slotCount - 1; ++i) {
            const int index = 1 + (start - 1 + i) % (slotCount - 1);
            if (m_server.State(index) == SlotArray::sckConnected)
                return index;
        }
        return 0;
    }

    void step()
    {
        switch (m_input.byte() % 8) {
        case 0:
            m_server.connectClient();
            break;
        case 1:
        case 2:
            if (const int slot = connectedSlot())
                m_server.receive(slot, m_input.bytes());
            break;
        case 3:
            if (const int slot = connectedSlot())
                m_server.closePeer(slot);
            break;
        case 4:
            m_console.txtMessage = m_input.text();
            m_engine.cmdSend_Click();
            break;
        case 5:
            if (m_server.listening)
                m_engine.cmdStop_Click();
            else
                m_engine.cmdStart_Click();
            break;
        case 6:
            m_console.txtNickname = m_input.text();
            m_engine.txtNickname_Change();
            break;
        case 7:
            (m_input.byte() % 2 ? m_state.Log : m_state.Messages).Clear();
            m_logRows = m_state.Log.ListCount();
            m_messageRows = m_state.Messages.ListCount();
            break;
        }
        check();
    }

    void eventInsideYield()
    {
        constexpr int deepest = 8;
        if (m_depth >= deepest || m_input.atEnd() || m_input.byte() % 4 != 0)
            return;
        ++m_depth;
        step();
        --m_depth;
    }

    void check()
    {
        const int rows = m_state.Users.ListCount();
        if (m_state.Users2.ListCount() != rows || m_state.Ip.ListCount() != rows || m_state.connection.ListCount() != rows)
            fail("the roster lists differ in length");
        for (int i = 0; i < rows; ++i) {
            const qint32 slot = m_state.Users.ItemData(i);
            if (m_state.Users2.List(i) != m_state.Users.List(i) || m_state.Users2.ItemData(i) != slot)
                fail("Users and Users2 differ");
            if (slot < 0 || slot > m_state.connectie || slot >= int(m_server.endpoints.size()))
                fail("item data is not a slot that exists");
            if (m_state.connection.List(i) != QByteArray::number(slot))
                fail("the connection number is not the row's slot");
        }
        if (m_state.Log.ListCount() < m_logRows || m_state.Messages.ListCount() < m_messageRows)
            fail("a transcript lost rows");
        m_logRows = m_state.Log.ListCount();
        m_messageRows = m_state.Messages.ListCount();
        if (m_server.highestAddressed > m_state.connectie)
            fail("a message was sent to a slot above connectie");
    }

    Input& m_input;
    ServerState m_state;
    FakeSlotArray m_server;
    FakeConsole m_console;
    RelayEngine m_engine { m_state, m_server, m_console };
    int m_depth = 0;
    int m_logRows = 0;
    int m_messageRows = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input input(data, size);
    Harness(input).run();
    return 0;
}
