// Feeds arbitrary bytes to the engine as client events and operator actions,
// some of them inside the engine's yields as on the real event loop, and
// checks after each that the server state still holds together.
#include "engine_rig.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {

void require(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

struct Harness : EngineRig {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t at = 0;
    int depth = 0;
    int transcriptRows = 0;

    uint8_t byte() { return at < size ? data[at++] : 0; }
    QByteArray bytes()
    {
        const size_t length = std::min<size_t>(byte(), size - std::min(at, size));
        at += length;
        return QByteArray(reinterpret_cast<const char*>(data + at - length), qsizetype(length));
    }
    void step()
    {
        const int slot = 1 + byte() % std::max(1, int(server.states.size()) - 1);
        const bool connected = server.State(slot) == SlotArray::sckConnected;
        const std::function<void()> actions[] = {
            [&] { server.connectClient(); },
            [&] { if (connected) server.receive(slot, bytes()); },
            [&] { if (connected) server.closePeer(slot); },
            [&] { console.txtMessage = QString::fromLatin1(bytes()); engine.cmdSend_Click(); },
            [&] { server.listening ? engine.cmdStop_Click() : engine.cmdStart_Click(); },
            [&] { console.txtNickname = QString::fromLatin1(bytes()); engine.txtNickname_Change(); },
            [&] { (byte() % 2 ? state.Log : state.Messages).Clear(); transcriptRows = 0; },
        };
        actions[byte() % std::size(actions)]();
        check();
    }
    void check()
    {
        const int rows = state.Users.ListCount();
        require(state.Users2.ListCount() == rows && state.Ip.ListCount() == rows && state.connection.ListCount() == rows,
            "the roster lists differ in length");
        for (int i = 0; i < rows; ++i) {
            const qint32 slot = state.Users.ItemData(i);
            require(state.Users2.List(i) == state.Users.List(i) && state.Users2.ItemData(i) == slot, "Users and Users2 differ");
            require(slot >= 0 && slot <= state.connectie, "item data is not a slot that exists");
            require(state.connection.List(i) == QByteArray::number(slot), "the connection number is not the row's slot");
        }
        const int transcripts = state.Log.ListCount() + state.Messages.ListCount();
        require(transcripts >= transcriptRows, "a transcript lost rows");
        transcriptRows = transcripts;
        require(server.highestAddressed <= state.connectie, "a message was sent to a slot above connectie");
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Harness harness;
    harness.data = data;
    harness.size = size;
    harness.startWith({});
    harness.server.onYield = [&] {
        if (harness.depth < 8 && harness.at < harness.size && harness.byte() % 4 == 0) {
            ++harness.depth;
            harness.step();
            --harness.depth;
        }
    };
    while (harness.at < harness.size)
        harness.step();
    return 0;
}
