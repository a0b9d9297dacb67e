#pragma once

#include "slot_array.h"

#include <QByteArrayList>

#include <algorithm>
#include <functional>
#include <vector>

// A scripted slot array: records what each slot is sent, and lets a test run
// events from inside the engine's yields, as the real event loop would.
class FakeSlotArray final : public SlotArray {
public:
    Failure Bind(int, quint16) override { return bindError; }
    Failure Listen(int) override
    {
        listening = true;
        return {};
    }
    void Close(int) override { listening = false; }
    Failure Load(int index) override
    {
        states.resize(std::max(states.size(), std::size_t(index) + 1));
        inboxes.resize(qsizetype(states.size()));
        return {};
    }
    Failure Accept(int index, qint32) override
    {
        states.at(index) = sckConnected;
        return {};
    }
    Failure SendData(int index, const QByteArray& text) override
    {
        if (State(index) != sckConnected)
            return { ENOTCONN, QStringLiteral("not connected") };
        inboxes[index].append(text);
        ++sends;
        return {};
    }
    QByteArray GetData(int) override { return std::exchange(input, {}); }
    int State(int index) const override
    {
        return index < int(states.size()) ? states[index] : sckClosed;
    }
    QString RemoteHostIP(int index) const override
    {
        return QStringLiteral("192.0.2.%1").arg(index);
    }
    QString LocalIP(int) const override { return QStringLiteral("198.51.100.7"); }
    int nextConnected(int after) const override
    {
        const auto next = std::find(states.begin() + after + 1, states.end(), int(sckConnected));
        return next == states.end() ? 0 : int(next - states.begin());
    }
    void DoEvents() override
    {
        ++yields;
        if (onYield)
            onYield();
    }

    // Events, as the real array raises them.
    int connectClient()
    {
        emit connectionRequest(0, 0);
        return int(states.size()) - 1;
    }
    void receive(int index, const QByteArray& text)
    {
        input = text;
        emit dataArrival(index, text.size());
    }
    void closePeer(int index)
    {
        states.at(index) = sckClosing;
        emit peerClosed(index);
    }
    void clearInboxes() { inboxes.fill({}); }

    std::vector<int> states = std::vector<int>(1);
    QList<QByteArrayList> inboxes = QList<QByteArrayList>(1); // what each slot was sent
    QByteArray input;
    Failure bindError;
    bool listening = false;
    int sends = 0;
    int yields = 0;
    std::function<void()> onYield; // runs inside every yield
};
