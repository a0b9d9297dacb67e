#pragma once

#include <QDialog>

class AccessRules;
class Moderation;
class QPushButton;
class QTableWidget;

// Bans…: the bans in force, each with its network, until when, and how many
// connections it has refused; the selected one can be lifted. It shows the
// rules as they change while it is open.
class BansDialog final : public QDialog {
    Q_OBJECT

public:
    BansDialog(QWidget& parent, AccessRules& rules, Moderation& moderation);

private:
    void fill();
    void liftSelected();

    AccessRules& m_rules;
    Moderation& m_moderation;
    QTableWidget* m_table;
    QPushButton* m_lift;
};
