#pragma once

#include "slot_array_probe.h"

#include <QByteArray>
#include <QCoreApplication>

#include <functional>
#include <map>
#include <utility>

// Runs an action among the window's events once the server hands given
// bytes to a given slot: with every yield running the window's events, that
// is inside the yield that follows the send, while its handler is suspended.
// Each action runs once.
struct OnSending final : SlotArrayProbe {
    std::map<std::pair<int, QByteArray>, std::function<void()>> actions; // by slot and bytes

    void started(Work, const AddressLedger::Address*, int) override { }
    void finished(Work, int) override { }
    void received(int, QByteArrayView, int) override { }
    void sending(int index, QByteArrayView bytes, qsizetype) override
    {
        const auto action = actions.find({ index, bytes.toByteArray() });
        if (action != actions.end() && action->second)
            QMetaObject::invokeMethod(QCoreApplication::instance(),
                std::exchange(action->second, {}), Qt::QueuedConnection);
    }
};
