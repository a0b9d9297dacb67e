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
    struct Endpoint {
        int state = sckClosed;
        QByteArrayList sent;
        QByteArray input;
    };

    SlotError Bind(int, quint16 port) override
    {
        if (bindError)
            return bindError;
        boundPort = port;
        return {};
    }
    SlotError Listen(int) override
    {
        listening = true;
        return {};
    }
    void Close(int index) override
    {
        if (index == 0)
            listening = false;
    }
    SlotError Load(int index) override
    {
        if (index < int(endpoints.size()))
            return { EEXIST, QStringLiteral("exists") };
        endpoints.resize(std::size_t(index) + 1);
        return {};
    }
    SlotError Accept(int index, qint32) override
    {
        endpoints.at(std::size_t(index)).state = sckConnected;
        return {};
    }
    SlotError SendData(int index, const QByteArray& text) override
    {
        highestAddressed = std::max(highestAddressed, index);
        if (index >= int(endpoints.size()) || endpoints[std::size_t(index)].state != sckConnected)
            return { ENOTCONN, QStringLiteral("not connected") };
        endpoints[std::size_t(index)].sent.append(text);
        return {};
    }
    QByteArray GetData(int index) override { return std::exchange(endpoints.at(std::size_t(index)).input, {}); }
    int State(int index) const override
    {
        return index < int(endpoints.size()) ? endpoints[std::size_t(index)].state : sckClosed;
    }
    QString RemoteHostIP(int index) const override { return QStringLiteral("192.0.2.%1").arg(index); }
    QString LocalIP(int) const override { return QStringLiteral("198.51.100.7"); }
    int nextConnected(int after) const override
    {
        for (int index = after + 1; index < int(endpoints.size()); ++index) {
            if (endpoints[std::size_t(index)].state == sckConnected)
                return index;
        }
        return 0;
    }
    void DoEvents() override
    {
        ++yields;
        if (onYield)
            onYield(yields);
    }

    // Events, as the real array raises them.
    int connectClient()
    {
        emit connectionRequest(0, 1000 + int(endpoints.size()));
        return int(endpoints.size()) - 1;
    }
    void receive(int index, const QByteArray& text)
    {
        endpoints.at(std::size_t(index)).input += text;
        emit dataArrival(index, text.size());
    }
    void closePeer(int index)
    {
        endpoints.at(std::size_t(index)).state = sckClosing;
        emit peerClosed(index);
    }
    QByteArrayList& sentTo(int index) { return endpoints.at(std::size_t(index)).sent; }

    std::vector<Endpoint> endpoints = std::vector<Endpoint>(1);
    SlotError bindError;
    quint16 boundPort = 0;
    bool listening = false;
    int yields = 0;
    int highestAddressed = 0;
    // Runs inside every yield with the yield's running number.
    std::function<void(int)> onYield;
};
