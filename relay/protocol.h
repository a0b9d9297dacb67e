#pragma once

#include <QString>
#include <QStringView>

// The wire protocol. A message is a bare run of Latin-1 characters with no
// framing: whatever a slot has buffered when it is read is one message.
//
// Client to server, told apart by the first four characters only
// (case-sensitive, "SCAN" tested first):
//   "SCAN..."            probe, answered "OK"
//   "USER" ? nickname    join; the fifth character is skipped unread
//   anything else        a chat line, relayed unchanged to every client
//
// Server to client:
//   "NICK"               greeting: asks a new connection for its nickname
//   "OK"                 answer to a probe
//   "NEWLIST", event, "USER:" + nickname per roster row
//                        roster broadcast; the event is "NEWUSER:" + nickname
//                        after a join and "QUIT" after a departure
//   chat line            a client's line, unchanged
//   nick + ":  " + text  the operator's line
namespace protocol {

inline const QString greeting = QStringLiteral("NICK");
inline const QString probeAnswer = QStringLiteral("OK");
inline const QString rosterStart = QStringLiteral("NEWLIST");
inline const QString departureEvent = QStringLiteral("QUIT");

enum class MessageKind { Probe, Join, Chat };

MessageKind classify(QStringView message);
// The nickname of a join message: everything from its sixth character on.
QString joinNickname(const QString& message);
QString joinEvent(const QString& nickname);
QString rosterRow(const QString& nickname);
QString operatorLine(const QString& nickname, const QString& text);

} // namespace protocol
