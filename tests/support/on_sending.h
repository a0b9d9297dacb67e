#pragma once

#include "slot_array_probe.h"

#include <QByteArray>
#include <QCoreApplication>

#include <functional>
#include <vector>

// Runs an action among the window's events once the server hands given
// bytes to a given slot: with every yield running the window's events, that
// is inside the yield that follows the send, while its handler is suspended.
// Each action runs once.
class OnSending final : public SlotArrayProbe {
public:
    void add(int index, const QByteArray& bytes, std::function<void()> action)
    {
        m_triggers.push_back({ index, bytes, std::move(action) });
    }

    void started(Work, const AddressLedger::Address*, int) override { }
    void finished(Work, int) override { }
    void received(int, QByteArrayView, int) override { }
    void sending(int index, QByteArrayView bytes, qsizetype) override
    {
        for (Trigger& trigger : m_triggers) {
            if (trigger.action && trigger.index == index && trigger.bytes == bytes)
                QMetaObject::invokeMethod(QCoreApplication::instance(),
                    std::exchange(trigger.action, {}), Qt::QueuedConnection);
        }
    }

private:
    struct Trigger {
        int index;
        QByteArray bytes;
        std::function<void()> action;
    };
    std::vector<Trigger> m_triggers;
};
