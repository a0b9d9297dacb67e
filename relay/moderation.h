#pragma once

#include "network.h"

#include <QDateTime>
#include <QObject>
#include <QTimer>

#include <chrono>

class RulesFile;
class SlotArray;
struct ServerState;

// The operator's say over who is connected: disconnecting a user, banning a
// network, lifting a ban, loading the rules file. Whenever the rules change,
// the open connections they refuse are closed; each departure then goes out
// as any other does. Each step gets a row in the log, and refusals a row per
// rule at most once a minute, however many there are.
class Moderation final : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::minutes reportInterval { 1 };

    Moderation(ServerState& state, SlotArray& server, QObject* parent = nullptr);

    // Closes the connection of roster row `row`; the operator's row stays.
    void mnuDisconnect_Click(int row);
    // `until` invalid: for good.
    void ban(const Network& network, const QDateTime& until);
    void lift(const Network& network);
    // Puts the file's rules in force, or keeps those in force where it is wrong.
    void load(const RulesFile& file);

private:
    void closeRefused();
    void disconnect(int index, const QByteArray& why);
    void reportRefusals();
    void log(const QString& row);

    ServerState& m_state;
    SlotArray& m_server;
    QTimer m_report;
};
