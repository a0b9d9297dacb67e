#include "web_hostiles.h"

namespace bench {

namespace {

std::string closedBy(int closeCode)
{
    return closeCode == 0 ? std::string(" with no close frame")
                          : " with close code " + std::to_string(closeCode);
}

} // namespace

void WebFlooder::tick()
{
    if (m_peer && (!m_peer->isOpen() || m_peer->closedByServer())) {
        if (m_flooding) {
            ++m_cutOff;
            m_lastCloseCode = m_peer->closeCode();
        }
        m_peer.reset();
    }
    if (!m_peer) {
        m_peer = connectWeb();
        m_peer->watch("NICK");
        m_flooding = false;
    }
    m_flooding = m_flooding || m_peer->seen();
    m_peer->flush();
    if (m_flooding && m_peer->flushed())
        m_peer->sendMessage(m_message);
}

std::string WebFlooder::outcome() const
{
    if (m_cutOff == 0)
        return m_flooding ? "the flooder was never cut off" : "the flooder was never greeted";
    const std::string times = m_cutOff == 1 ? "once" : std::to_string(m_cutOff) + " times";
    return "the flooder was cut off " + times + ", the last time" + closedBy(m_lastCloseCode);
}

void WebNonReader::tick()
{
    if (!m_peer) {
        m_peer = connectWeb(false);
        m_peer->watch("NICK");
    }
    if (m_joined)
        return;
    // Reads only until it is greeted.
    if (m_peer->readAll()) {
        m_peer->sendMessage("USER:silentweb");
        m_joined = true;
    }
}

std::string WebNonReader::outcome() const
{
    if (!m_joined)
        return "the client that never reads was never greeted";
    return m_peer->established() ? "the client that never reads was not cut off"
                                 : "the client that never reads was cut off";
}

} // namespace bench
