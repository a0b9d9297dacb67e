#pragma once

#include "access_rules.h"
#include "address_ledger.h"
#include "epoll_watches.h"
#include "handed_listener.h"
#include "slot_array.h"

#include <QObject>

#include <deque>
#include <functional>
#include <optional>

#include <netinet/in.h>

// A connection taken off the listening socket, not yet given a slot. Its
// account is held for it.
struct Arrival {
    int fd;
    sockaddr_in6 remote;
    AddressLedger::Account* account;
};

// Slot 0: the listening socket and the way in. It accepts what is waiting,
// keeps accepting when the process runs out of descriptors, closes at once a
// connection the access rules refuse or past its address's cap, and holds back the connections of
// an address over its budget until that address may be served again.
class Listener final : public QObject {
    Q_OBJECT

public:
    // Called for every connection that may be greeted now, which it may
    // take() into a slot before it returns.
    using Admit = std::function<void(const Arrival&)>;
    // Connections one address may have open or waiting, counted by the
    // account's `open` and `waiting`; past it, new ones are closed.
    Listener(EpollWatches& watches, AddressLedger& ledger, int connectionsPerAddress, Admit admit);
    ~Listener() override;

    // A bind to the handed-over socket's port takes that socket instead of
    // a new one, once.
    void adopt(const HandedListener& handed) { m_handed = handed; }
    Failure bind(quint16 port);
    Failure listen();
    // Stops listening and releases the port; waiting connections are closed.
    void close();
    int state() const { return m_state; }

    void setConnectionsPerAddress(int connections) { m_connectionsPerAddress = connections; }
    void setAccessRules(AccessRules& rules) { m_rules = &rules; }
    void acceptReady();
    // Takes in a connection accepted elsewhere (a web client's), owning
    // `fd`: it is admitted as one accepted here, and waits to be greeted.
    void admitConnection(int fd, const sockaddr_in6& remote);
    // Greets the waiting connections whose address may be served again.
    void admitWaiting();
    // Connections accepted and not yet greeted.
    int waitingCount() const { return int(m_waiting.size()); }
    // The connection offered now under `requestID`, taken into a slot.
    std::optional<Arrival> take(qint32 requestID);
    // Closes a connection that is not taken into a slot.
    void discard(const Arrival& arrival);

private:
    enum class Greeting { WhenDue, Later };
    void arrive(int fd, const sockaddr_in6& remote, Greeting greeting);
    bool admitted(const sockaddr_in6& remote);
    void offer(const Arrival& arrival);
    void discardWaiting();
    bool acceptWithoutDescriptors();
    void setArmed(bool armed);

    EpollWatches& m_watches;
    quint32 m_watched = 0;
    AddressLedger& m_ledger;
    int m_connectionsPerAddress;
    Admit m_admit;
    AccessRules* m_rules = nullptr;
    int m_fd = -1;
    int m_state = SlotArray::sckClosed;
    int m_spareFd = -1;
    HandedListener m_handed;
    std::deque<Arrival> m_waiting;
    bool m_admitting = false;
    std::optional<Arrival> m_offered;
};
