#pragma once

#include "access_rules.h"
#include "address_ledger.h"
#include "epoll_watches.h"
#include "greeting_queue.h"
#include "handed_listener.h"
#include "slot_array.h"

#include <QObject>

#include <netinet/in.h>

// Slot 0: the listening socket and the way in. It accepts what is waiting,
// keeps accepting when the process runs out of descriptors, closes at once a
// connection the access rules refuse or past its address's cap, and hands
// the rest to the greeting queue.
class Listener final : public QObject {
    Q_OBJECT

public:
    // Connections one address may have open or waiting, counted by the
    // account's `open` and `waiting`; past it, new ones are closed.
    Listener(EpollWatches& watches, AddressLedger& ledger, GreetingQueue& greetings,
        int connectionsPerAddress);
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

private:
    enum class Greeting { WhenDue, Later };
    void arrive(int fd, const sockaddr_in6& remote, Greeting greeting);
    bool admitted(const sockaddr_in6& remote);
    bool acceptWithoutDescriptors();
    void setArmed(bool armed);

    EpollWatches& m_watches;
    quint32 m_watched = 0;
    AddressLedger& m_ledger;
    GreetingQueue& m_greetings;
    int m_connectionsPerAddress;
    AccessRules* m_rules = nullptr;
    int m_fd = -1;
    int m_state = SlotArray::sckClosed;
    int m_spareFd = -1;
    HandedListener m_handed;
};
