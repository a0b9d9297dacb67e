#pragma once

#include <QObject>

#include <vector>

class ListBox;
class Moderation;
class QWidget;
class SlotArray;
struct ServerState;

// The context menu of the roster's lists: Disconnect, Ban… and Bans… for
// the selected row, opened by a right click (which selects the row under
// it), the Menu key or Shift+F10. The dialogs are modal, so they open once
// no handler is suspended in a yield.
class RosterMenu final : public QObject {
    Q_OBJECT

public:
    RosterMenu(QWidget& window, const std::vector<ListBox*>& lists, ServerState& state,
        Moderation& moderation, SlotArray& server);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void open(ListBox& list, const QPoint& globalPosition);
    void openBanDialog(const QByteArray& name, const QString& address);
    void openBansDialog();

    QWidget& m_window;
    ServerState& m_state;
    Moderation& m_moderation;
    SlotArray& m_server;
};
