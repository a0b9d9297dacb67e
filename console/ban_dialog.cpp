#include "ban_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>

namespace {

constexpr qint64 hourSeconds = 60 * 60;
constexpr qint64 daySeconds = 24 * hourSeconds;

} // namespace

BanDialog::BanDialog(QWidget& parent, const QByteArray& name, const QString& address)
    : QDialog(&parent)
    , m_address(address)
    , m_scope(new QComboBox(this))
    , m_duration(new QComboBox(this))
{
    setObjectName(QStringLiteral("frmBan"));
    setWindowTitle(QStringLiteral("Ban"));
    auto* layout = new QFormLayout(this);
    auto* who
        = new QLabel(QStringLiteral("Close every connection from where %1 is, and refuse new ones.")
                         .arg(QString::fromLatin1(name).toHtmlEscaped()),
            this);
    who->setWordWrap(true);
    layout->addRow(who);

    m_scope->setObjectName(QStringLiteral("cmbScope"));
    m_scope->addItem(QStringLiteral("This address: %1").arg(address),
        QVariant::fromValue(int(Network::Scope::Address)));
    if (const std::optional<Network> around
        = Network::around(address, Network::Scope::Neighbourhood))
        m_scope->addItem(QStringLiteral("Its network: %1").arg(around->text()),
            QVariant::fromValue(int(Network::Scope::Neighbourhood)));
    layout->addRow(QStringLiteral("&Scope:"), m_scope);

    m_duration->setObjectName(QStringLiteral("cmbDuration"));
    m_duration->addItem(QStringLiteral("An hour"), hourSeconds);
    m_duration->addItem(QStringLiteral("A day"), daySeconds);
    m_duration->addItem(QStringLiteral("A week"), 7 * daySeconds);
    m_duration->addItem(QStringLiteral("For good"), qint64(0));
    layout->addRow(QStringLiteral("&Duration:"), m_duration);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    QPushButton* ban = buttons->addButton(QStringLiteral("&Ban"), QDialogButtonBox::AcceptRole);
    ban->setObjectName(QStringLiteral("cmdBan"));
    ban->setDefault(true);
    buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("cmdCancel"));
    layout->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    m_scope->setFocus();
}

std::optional<Network> BanDialog::network() const
{
    return Network::around(m_address, Network::Scope(m_scope->currentData().toInt()));
}

QDateTime BanDialog::until(const QDateTime& now) const
{
    const qint64 seconds = m_duration->currentData().toLongLong();
    return seconds > 0 ? now.addSecs(seconds) : QDateTime();
}
