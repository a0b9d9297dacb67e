#pragma once

#include "failure.h"
#include "network.h"

#include <QDateTime>
#include <QObject>
#include <QStringList>

#include <functional>
#include <vector>

// Who may connect: the bans, each until a time or for good, and the
// allow-list, which where it is not empty admits only the addresses inside
// it. Connections refused are counted, a count per ban and one for those
// outside the allow-list, and reported a row per rule at a time.
//
// Its text form is the rules file, one rule a line:
//   NETWORK UNTIL [COMMENT]   a ban; UNTIL is an ISO 8601 time or "never"
//   allow NETWORK [COMMENT]   a network on the allow-list
// Every check walks the rules, which the operator makes, one at a time.
class AccessRules final : public QObject {
    Q_OBJECT

public:
    using Clock = std::function<QDateTime()>;
    struct Ban {
        Network network;
        QDateTime until; // invalid: for good
        QString comment;
        qint64 refused = 0; // connections refused since it was made or loaded
        qint64 unreported = 0;
    };
    // What a rules file holds.
    struct Set {
        std::vector<Ban> bans;
        std::vector<Network> allowed;
    };

    explicit AccessRules(Clock clock = &QDateTime::currentDateTimeUtc, QObject* parent = nullptr);
    void setClock(Clock clock) { m_clock = std::move(clock); }
    QDateTime now() const { return m_clock(); }

    // Whether a connection from the address may stay now.
    bool permits(const Network::Address& address) const;
    // Whether a new connection from the address is admitted; a refusal is
    // counted against the rule that refuses it.
    bool admit(const Network::Address& address);

    // The bans in force now.
    std::vector<Ban> bans() const;
    void ban(const Network& network, const QDateTime& until);
    void lift(const Network& network);
    // The allow-list given at start, kept through reloads of the file's rules.
    void setStartAllowed(std::vector<Network> allowed);
    // The file's rules take the place of the ones in force; refusal counts
    // of the bans that stay are kept.
    void replace(Set rules);

    // The file's text, and its parse: a line that is wrong fails it all,
    // with the line's number.
    QByteArray text() const;
    static Failure parse(const QByteArray& text, Set& rules);

    // A row for each rule that has refused connections since the last
    // report, saying how many.
    QList<QByteArray> takeRefusalReport();

signals:
    // The rules changed: open connections they refuse are to go.
    void changed();
    // The first refusal since the last report.
    void refusalPending();

private:
    bool inForce(const Ban& ban, const QDateTime& now) const;
    bool allowed(const Network::Address& address) const;
    // The ban in force that holds the address, or -1.
    qsizetype banOf(const Network::Address& address, const QDateTime& now) const;
    void countRefusal(qint64& unreported);

    Clock m_clock;
    std::vector<Ban> m_bans;
    std::vector<Network> m_startAllowed;
    std::vector<Network> m_fileAllowed;
    qint64 m_outsideUnreported = 0;
    bool m_refusalPending = false;
};
