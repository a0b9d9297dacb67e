#pragma once

#include "address_ledger.h"

#include <QByteArrayView>

// Told what the slot array does as it does it, so that a measurement can say
// where a message's time went: what was being handled when it was read, how
// deep in yields, and what was queued ahead of its copies. None by default.
class SlotArrayProbe {
public:
    enum class Work { ConnectionRequest, DataArrival, PeerClosed, WindowPass };

    virtual ~SlotArrayProbe() = default;
    // Work starts, or has ended, inside `depth` yields (0: run by the event
    // loop itself). The window's pass has no address.
    virtual void started(Work work, const AddressLedger::Address* from, int depth) = 0;
    virtual void finished(Work work, int depth) = 0;
    // Bytes read from slot `index`, about to be handed to their handler.
    virtual void received(int index, QByteArrayView bytes, int depth) = 0;
    // Bytes handed over for slot `index`, behind `queued` bytes not yet sent.
    virtual void sending(int index, QByteArrayView bytes, qsizetype queued) = 0;
};
