#include "bans_dialog.h"

#include "access_rules.h"
#include "moderation.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

BansDialog::BansDialog(QWidget& parent, AccessRules& rules, Moderation& moderation)
    : QDialog(&parent)
    , m_rules(rules)
    , m_moderation(moderation)
    , m_table(new QTableWidget(0, 3, this))
{
    setObjectName(QStringLiteral("frmBans"));
    setWindowTitle(QStringLiteral("Bans"));
    auto* layout = new QVBoxLayout(this);
    auto* caption = new QLabel(QStringLiteral("&Bans in force:"), this);
    caption->setBuddy(m_table);
    layout->addWidget(caption);
    m_table->setObjectName(QStringLiteral("lstBans"));
    m_table->setAccessibleName(QStringLiteral("Bans"));
    m_table->setHorizontalHeaderLabels(
        { QStringLiteral("Network"), QStringLiteral("Until"), QStringLiteral("Refused") });
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->verticalHeader()->hide();
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setTabKeyNavigation(false);
    m_table->setMinimumWidth(480);
    layout->addWidget(m_table);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    m_lift = buttons->addButton(QStringLiteral("&Lift"), QDialogButtonBox::ActionRole);
    m_lift->setObjectName(QStringLiteral("cmdLift"));
    buttons->button(QDialogButtonBox::Close)->setObjectName(QStringLiteral("cmdClose"));
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_lift, &QPushButton::clicked, this, &BansDialog::liftSelected);
    connect(m_table, &QTableWidget::itemSelectionChanged, this,
        [this] { m_lift->setEnabled(!m_table->selectedItems().isEmpty()); });
    connect(&rules, &AccessRules::changed, this, &BansDialog::fill);
    fill();
}

// As many rows as bans in force, which the operator makes one by one.
void BansDialog::fill()
{
    const std::vector<AccessRules::Ban> bans = m_rules.bans();
    m_table->setRowCount(int(bans.size()));
    for (int row = 0; row < int(bans.size()); ++row) {
        const AccessRules::Ban& ban = bans[std::size_t(row)];
        const QString until = ban.until.isValid()
            ? ban.until.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"))
            : QStringLiteral("for good");
        const QString cells[] = { ban.network.text(), until, QString::number(ban.refused) };
        for (int column = 0; column < 3; ++column)
            m_table->setItem(row, column, new QTableWidgetItem(cells[column]));
    }
    if (!bans.empty())
        m_table->selectRow(std::min(std::max(m_table->currentRow(), 0), int(bans.size()) - 1));
    m_lift->setEnabled(!bans.empty());
}

void BansDialog::liftSelected()
{
    const int row = m_table->currentRow();
    if (row < 0)
        return;
    if (const auto network = Network::parse(m_table->item(row, 0)->text()))
        m_moderation.lift(*network);
}
