#include "headless_service.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cstring>

HeadlessService::HeadlessService(const QString& nickname, quint16 port,
    const HandedListeners& handed, const RulesFile& rules, std::vector<Network> allowed)
    : m_console(m_state, nickname, handed.chat.fd >= 0 ? handed.chat.port : port)
    , m_rules(rules)
{
    m_server.adoptListener(handed.chat);
    m_webPort.adoptListener(handed.web);
    connect(&m_webPort, &WebPort::opened, this, [this](const QUrl& page) {
        m_console.write(Priority::Info,
            QStringLiteral("The chat page is served at %1.").arg(page.toString()).toLatin1());
    });
    connect(&m_webPort, &WebPort::failed, this, [this](const QString& reason) {
        m_console.write(Priority::Warning,
            QStringLiteral("The chat page is not served: %1.").arg(reason).toLatin1());
    });
    m_server.setAccessRules(m_state.rules);
    m_state.rules.setStartAllowed(std::move(allowed));
    connect(&m_console, &HeadlessConsole::onlineChanged, this, &HeadlessService::reportOnline);
    connect(&m_notifier, &ServiceNotifier::failed, this, [this](const Failure& failure) {
        m_console.write(Priority::Warning, failure.text.toLatin1());
    });
    connect(
        &m_engine, &RelayEngine::serviceStarted, this, [this](int port, const QString& nickname) {
            m_console.write(Priority::Info,
                QStringLiteral("Serving port %1 as %2.").arg(port).arg(nickname).toLatin1());
            m_notifier.ready();
        });
    m_engine.Form_Load();
    // As if typed into the port box: the row that reads the same, or none.
    const int rows = m_state.cmbPort.ListCount();
    int portRow = -1;
    for (int row = 0; row < rows && portRow < 0; ++row)
        portRow = m_state.cmbPort.List(row) == m_console.portText().toLatin1() ? row : -1;
    m_state.cmbPort.setListIndex(portRow);
}

// Rules are in force before the first client comes.
bool HeadlessService::start()
{
    if (QFileInfo::exists(m_rules.path()))
        reload();
    m_engine.cmdStart_Click();
    return m_server.State(0) == SlotArray::sckListening;
}

void HeadlessService::stop(int signal)
{
    if (m_server.State(0) == SlotArray::sckListening) {
        m_console.write(Priority::Info,
            QStringLiteral("Stopping on SIG%1.")
                .arg(QLatin1String(::sigabbrev_np(signal)))
                .toLatin1());
        m_notifier.stopping();
        m_engine.cmdStop_Click();
    }
    QCoreApplication::exit(0);
}

void HeadlessService::reload()
{
    m_moderation.load(m_rules);
}

// The roster holds the operator's row too.
void HeadlessService::reportOnline(int users)
{
    m_notifier.setStatus(
        QStringLiteral("Serving port %1: %2 online.").arg(m_state.port).arg(users - 1));
}
