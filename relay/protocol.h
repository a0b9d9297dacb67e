#pragma once

#include <QByteArray>
#include <QByteArrayView>

// The wire protocol. A message is a bare run of Latin-1 characters, one byte
// each, with no framing: whatever a slot has buffered when it is read is one
// message.
//
// Client to server, told apart by the first four characters only
// (case-sensitive, "SCAN" tested first):
//   "SCAN..."            probe, answered "OK"
//   "USER" ? nickname    join; the fifth character is skipped unread, and the
//                        nickname is cut to its first 64 characters
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

inline const QByteArray greeting = QByteArrayLiteral("NICK");
inline const QByteArray probeAnswer = QByteArrayLiteral("OK");
inline const QByteArray rosterStart = QByteArrayLiteral("NEWLIST");
inline const QByteArray departureEvent = QByteArrayLiteral("QUIT");

// Every roster row goes to every client at every join and departure, so a
// nickname's length multiplies into all of that traffic.
inline constexpr qsizetype longestJoinNickname = 64;

enum class MessageKind { Probe, Join, Chat };

MessageKind classify(QByteArrayView message);
// The nickname of a join message: from its sixth character on, at most
// longestJoinNickname characters.
QByteArray joinNickname(const QByteArray& message);
QByteArray joinEvent(const QByteArray& nickname);
QByteArray rosterRow(const QByteArray& nickname);
QByteArray operatorLine(const QByteArray& nickname, const QByteArray& text);

} // namespace protocol
