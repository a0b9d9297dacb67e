#include "list_box.h"
#include "message_box.h"
#include "server_window.h"

#include <QtWidgets>

// The operator deciding who is in the room, through the window: clients on
// loopback addresses of their own, the roster's context menu and dialogs
// driven by keys and clicks as the operator would.
namespace {

// Whether the server closes the client without a byte sent: refused before
// its greeting, or disconnected with nothing more said.
bool closedUnanswered(QTcpSocket& client)
{
    client.readAll();
    return QTest::qWaitFor(
               [&] { return client.state() == QAbstractSocket::UnconnectedState; }, timeoutMs)
        && client.readAll().isEmpty();
}

QMenu* openedMenu()
{
    QMenu* menu = nullptr;
    const auto shown
        = [&] { return (menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())); };
    return QTest::qWaitFor(shown, timeoutMs) ? menu : nullptr;
}

QString spokenName(QWidget* widget)
{
    QAccessibleInterface* control = QAccessible::queryAccessibleInterface(widget);
    const auto labels = control->relations(QAccessible::Label);
    return (labels.isEmpty() ? control : labels.first().first)->text(QAccessible::Name);
}

} // namespace

class TestModeration : public QObject {
    Q_OBJECT

private slots:
    // Disconnect from each roster list's menu, opened by a right click or by
    // the keys: the others receive the departure, the log names who went.
    void disconnectFromRoster_data()
    {
        QTest::addColumn<QString>("list");
        QTest::addColumn<int>("key"); // 0: a right click on the row
        QTest::newRow("Users, right click") << "Users" << 0;
        QTest::newRow("Ip, Menu key") << "Ip" << int(Qt::Key_Menu);
        QTest::newRow("connection, Shift+F10") << "connection" << int(Qt::Key_F10);
        QTest::newRow("Users2, right click") << "Users2" << 0;
    }
    void disconnectFromRoster()
    {
        QFETCH(QString, list);
        QFETCH(int, key);
        ServerWindow w;
        QVERIFY(w.showActive());
        w.start();
        std::vector<Client> room = w.join({ { "127.0.0.2", "ann" }, { "127.0.0.3", "bob" } });
        QVERIFY(room.size() == 2);
        Client &ann = room[0], &bob = room[1];

        auto* box = w.control<ListBox>(qPrintable(list));
        w.control<QTabWidget>("Overzicht")->setCurrentWidget(box->parentWidget());
        box->setFocus();
        if (key == 0) {
            // What the window system makes of a right click.
            const QPoint at = box->rowRect(2).center();
            QContextMenuEvent click(QContextMenuEvent::Mouse, at, box->viewport()->mapToGlobal(at));
            QApplication::sendEvent(box->viewport(), &click);
        } else {
            box->model().setListIndex(2);
            QTest::keyClick(
                box, Qt::Key(key), key == Qt::Key_F10 ? Qt::ShiftModifier : Qt::NoModifier);
        }
        QMenu* menu = openedMenu();
        QVERIFY(menu);
        QCOMPARE(box->model().ListIndex(), 2);
        QTest::keyClick(menu, Qt::Key_D);
        QVERIFY(receives(*ann, rosterBroadcast("QUIT", { "op", "ann" }).join()));
        QVERIFY(closedUnanswered(*bob));
        QCOMPARE(rows(w.state.Log).last(), "Disconnected by the operator: bob from 127.0.0.3");
        QCOMPARE(roster(w.state).mid(1), QByteArrayList { "ann 127.0.0.2 1" });
    }

    // A ban closes every connection inside it at once, joined or not, and
    // refuses new ones before their greeting; a neighbour is inside a /24
    // ban and not inside one on the address, an outsider inside neither.
    void banCoversItsNetwork_data()
    {
        QTest::addColumn<int>("scope");
        QTest::addColumn<bool>("neighbourServed");
        QTest::newRow("this address") << int(Network::Scope::Address) << true;
        QTest::newRow("its /24") << int(Network::Scope::Neighbourhood) << false;
    }
    void banCoversItsNetwork()
    {
        QFETCH(int, scope);
        QFETCH(bool, neighbourServed);
        ServerWindow w;
        w.start();
        std::vector<Client> room = w.join({ { "127.1.3.4", "cy" }, { "127.1.2.3", "ann" } });
        Client annAgain = w.connect("127.1.2.3");
        QVERIFY(room.size() == 2 && annAgain);
        Client& outsider = room[0];

        w.moderation.ban(*Network::around(u"127.1.2.3", Network::Scope(scope)), QDateTime());
        QVERIFY(receives(*outsider, rosterBroadcast("QUIT", { "op", "cy" }).join()));
        QVERIFY(closedUnanswered(*annAgain));
        QVERIFY(rows(w.state.Log).contains("Disconnected by the access rules: ann from 127.1.2.3"));
        QVERIFY(!greetedFrom(w.port, "127.1.2.3"));
        QCOMPARE(greetedFrom(w.port, "127.1.2.4"), neighbourServed);
        QVERIFY(greetedFrom(w.port, "127.1.3.4"));
        QCOMPARE(w.state.rules.bans().front().refused, neighbourServed ? 1 : 2);
    }

    // The menu and its dialogs by keys alone, every control named: Ban… with
    // its scope and duration, Bans… listing the ban and lifting it; Escape
    // closes a dialog.
    void menuAndDialogsByKeyboard()
    {
        ServerWindow w;
        QVERIFY(w.showActive());
        w.start();
        std::vector<Client> room = w.join({ { "127.3.0.9", "ann" } });
        QVERIFY(room.size() == 1);
        Client& ann = room[0];
        auto* users2 = w.control<ListBox>("Users2");
        w.control<QTabWidget>("Overzicht")->setCurrentWidget(users2->parentWidget());
        users2->setFocus();
        QTest::keyClick(users2, Qt::Key_Down);
        QTest::keyClick(users2, Qt::Key_Down);

        const auto openMenu = [&] {
            QTest::keyClick(users2, Qt::Key_F10, Qt::ShiftModifier);
            return openedMenu();
        };
        QMenu* menu = openMenu();
        QVERIFY(menu);
        QStringList items;
        for (QAction* action : menu->actions())
            items.append(action->text() + (action->isEnabled() ? "" : " (off)"));
        QCOMPARE(items, (QStringList { "&Disconnect", "&Ban…", "B&ans…" }));
        QCOMPARE(spokenName(menu), "User");

        QStringList names;
        QVERIFY(modalShownBy<QDialog>([&] { QTest::keyClick(menu, Qt::Key_B); },
            [&](QDialog& dialog) {
                auto* scope = dialog.findChild<QComboBox*>("cmbScope");
                auto* duration = dialog.findChild<QComboBox*>("cmbDuration");
                names << spokenName(scope) << spokenName(duration)
                      << spokenName(dialog.findChild<QPushButton*>("cmdBan"));
                QCOMPARE(QApplication::focusWidget(), scope);
                QTest::keyClick(scope, Qt::Key_Down); // its network
                QTest::keyClick(scope, Qt::Key_Tab);
                QCOMPARE(QApplication::focusWidget(), duration);
                QTest::keyClick(duration, Qt::Key_Down); // a day
                QTest::keyClick(duration, Qt::Key_Return);
            }));
        QCOMPARE(names, (QStringList { "Scope:", "Duration:", "Ban" }));
        QVERIFY(closedUnanswered(*ann));
        QCOMPARE(w.state.rules.bans().size(), 1u);
        QCOMPARE(w.state.rules.bans().front().network.text(), "127.3.0.0/24");

        // The operator's own row is left: Disconnect and Ban… are off.
        QTest::keyClick(users2, Qt::Key_Home);
        menu = openMenu();
        QVERIFY(menu);
        QCOMPARE(menu->actions().at(0)->isEnabled() || menu->actions().at(1)->isEnabled(), false);
        QVERIFY(modalShownBy<QDialog>([&] { QTest::keyClick(menu, Qt::Key_A); },
            [&](QDialog& dialog) {
                auto* table = dialog.findChild<QTableWidget*>("lstBans");
                names = { spokenName(table), table->item(0, 0)->text(), table->item(0, 2)->text() };
                QCOMPARE(QApplication::focusWidget(), table);
                auto* lift = dialog.findChild<QPushButton*>("cmdLift");
                for (int tabs = 0; tabs < 3 && QApplication::focusWidget() != lift; ++tabs)
                    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
                QCOMPARE(spokenName(QApplication::focusWidget()), "Lift");
                QTest::keyClick(lift, Qt::Key_Space);
                QCOMPARE(table->rowCount(), 0);
                QTest::keyClick(&dialog, Qt::Key_Escape);
            }));
        QCOMPARE(names, (QStringList { "Bans", "127.3.0.0/24", "0" }));
        QVERIFY(greetedFrom(w.port, "127.3.0.9"));
    }
};

QTEST_MAIN(TestModeration)
#include "tst_moderation.moc"
