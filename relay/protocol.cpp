#include "protocol.h"

#include <algorithm>

namespace protocol {

MessageKind classify(QByteArrayView message)
{
    const QByteArrayView command = message.first(std::min<qsizetype>(message.size(), 4));
    if (command == "SCAN")
        return MessageKind::Probe;
    if (command == "USER")
        return MessageKind::Join;
    return MessageKind::Chat;
}

QByteArray joinNickname(const QByteArray& message)
{
    return message.mid(5, longestJoinNickname);
}

QByteArray joinEvent(const QByteArray& nickname)
{
    return "NEWUSER:" + nickname;
}

QByteArray rosterRow(const QByteArray& nickname)
{
    return "USER:" + nickname;
}

QByteArray operatorLine(const QByteArray& nickname, const QByteArray& text)
{
    return nickname + ":  " + text;
}

} // namespace protocol
