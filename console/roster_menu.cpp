#include "roster_menu.h"

#include "ban_dialog.h"
#include "bans_dialog.h"
#include "list_box.h"
#include "list_rows.h"
#include "moderation.h"
#include "server_state.h"
#include "slot_array.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QPointer>

RosterMenu::RosterMenu(QWidget& window, const std::vector<ListBox*>& lists, ServerState& state,
    Moderation& moderation, SlotArray& server)
    : QObject(&window)
    , m_window(window)
    , m_state(state)
    , m_moderation(moderation)
    , m_server(server)
{
    for (ListBox* list : lists) {
        list->installEventFilter(this);
        list->viewport()->installEventFilter(this);
    }
}

// A right click reaches the viewport; the keys reach the list.
bool RosterMenu::eventFilter(QObject* watched, QEvent* event)
{
    auto* widget = static_cast<QWidget*>(watched);
    auto* list = qobject_cast<ListBox*>(widget);
    if (!list)
        list = qobject_cast<ListBox*>(widget->parentWidget());
    if (!list)
        return false;
    if (event->type() == QEvent::ContextMenu) {
        const auto* menuEvent = static_cast<QContextMenuEvent*>(event);
        if (menuEvent->reason() != QContextMenuEvent::Mouse) {
            open(*list, {});
            return true;
        }
        const QPoint inViewport = list->viewport()->mapFromGlobal(menuEvent->globalPos());
        if (const int row = list->rowAt(inViewport.y()); row >= 0)
            list->model().setListIndex(row);
        open(*list, menuEvent->globalPos());
        return true;
    }
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Menu
            || (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier)) {
            open(*list, {});
            return true;
        }
    }
    return false;
}

// From the keyboard, the menu opens at the selected row. Row i of every
// roster list is the same user; the operator's row cannot be disconnected.
void RosterMenu::open(ListBox& list, const QPoint& globalPosition)
{
    const int row = list.model().ListIndex();
    const bool isClient = row >= 0 && m_state.Users.ItemData(row) > 0;
    auto* menu = new QMenu(&list);
    menu->setObjectName(QStringLiteral("mnuRoster"));
    menu->setAccessibleName(QStringLiteral("User"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QAction* disconnect = menu->addAction(QStringLiteral("&Disconnect"), &m_moderation,
        [this, row] { m_moderation.mnuDisconnect_Click(row); });
    disconnect->setObjectName(QStringLiteral("mnuDisconnect"));
    QAction* ban = menu->addAction(QStringLiteral("&Ban…"));
    ban->setObjectName(QStringLiteral("mnuBan"));
    connect(ban, &QAction::triggered, this,
        [this, ban, name = m_state.Users.List(row), address = m_state.Ip.List(row)] {
            m_server.runInTurn(ban, [menu = QPointer(this), name, address] {
                if (menu)
                    menu->openBanDialog(name, QString::fromLatin1(address));
            });
        });
    QAction* bans = menu->addAction(QStringLiteral("B&ans…"));
    bans->setObjectName(QStringLiteral("mnuBans"));
    connect(bans, &QAction::triggered, this, [this, bans] {
        m_server.runInTurn(bans, [menu = QPointer(this)] {
            if (menu)
                menu->openBansDialog();
        });
    });
    disconnect->setEnabled(isClient);
    ban->setEnabled(isClient);
    QPoint at = globalPosition;
    if (globalPosition.isNull()) {
        const QRect place = row >= 0 ? list.rowRect(row) : QRect();
        at = list.viewport()->mapToGlobal(place.isValid() ? place.bottomLeft() : QPoint());
    }
    menu->popup(at);
}

// The user was read when the menu opened: the user may have left since, and
// the ban still holds for whoever comes from that address.
void RosterMenu::openBanDialog(const QByteArray& name, const QString& address)
{
    BanDialog dialog(m_window, name, address);
    if (dialog.exec() != QDialog::Accepted)
        return;
    if (const std::optional<Network> network = dialog.network())
        m_moderation.ban(*network, dialog.until(m_state.rules.now()));
}

void RosterMenu::openBansDialog()
{
    BansDialog dialog(m_window, m_state.rules, m_moderation);
    dialog.exec();
}
