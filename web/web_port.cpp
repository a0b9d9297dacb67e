#include "web_port.h"

#include "relay_engine.h"
#include "socket_slot_array.h"

#include <utility>

WebPort::WebPort(RelayEngine& engine, SocketSlotArray& server)
    : m_server(server)
    , m_gateway(
          [&server](int fd, const sockaddr_in6& remote) { server.adoptConnection(fd, remote); })
{
    connect(&engine, &RelayEngine::serviceStarted, this, &WebPort::open);
    connect(&engine, &RelayEngine::serviceStopped, this, &WebPort::close);
}

void WebPort::open()
{
    if (m_gateway.isOpen())
        return;
    const HandedListener handed = std::exchange(m_handed, {});
    if (handed.fd < 0 && m_port == 0)
        return;
    const Failure failure = handed.fd >= 0 ? m_gateway.adopt(handed.fd) : m_gateway.open(m_port);
    if (failure) {
        emit failed(QStringLiteral("port %1: %2")
                        .arg(handed.fd >= 0 ? handed.port : m_port)
                        .arg(failure.text));
        return;
    }
    QUrl page;
    page.setScheme(QStringLiteral("http"));
    page.setHost(m_server.LocalIP(0));
    page.setPort(m_gateway.port());
    page.setPath(QStringLiteral("/"));
    emit opened(page);
}

// Said even when the port was not open, so that a failure to open it is no
// longer shown once the service has stopped.
void WebPort::close()
{
    m_gateway.close();
    emit closed();
}
