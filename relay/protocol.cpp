#include "protocol.h"

namespace protocol {

MessageKind classify(QStringView message)
{
    const QStringView command = message.left(4);
    if (command == u"SCAN")
        return MessageKind::Probe;
    if (command == u"USER")
        return MessageKind::Join;
    return MessageKind::Chat;
}

QString joinNickname(const QString& message)
{
    return message.mid(5);
}

QString joinEvent(const QString& nickname)
{
    return QStringLiteral("NEWUSER:") + nickname;
}

QString rosterRow(const QString& nickname)
{
    return QStringLiteral("USER:") + nickname;
}

QString operatorLine(const QString& nickname, const QString& text)
{
    return nickname + QStringLiteral(":  ") + text;
}

} // namespace protocol
