#include "list_box.h"
#include "message_box.h"
#include "server_window.h"

// The operator deciding who is in the room, through the window: clients on
// loopback addresses of their own, the roster's context menu and dialogs
// driven by keys and clicks as the operator would.
namespace {

// The roster menu, opened on `list` by the key (Shift+F10 for F10), or by a
// right click on row 3 where `key` is 0.
QMenu* openedMenu(ListBox& list, int key)
{
    if (key == 0) {
        // What the window system makes of a right click.
        const QPoint at = list.rowRect(3).center();
        QContextMenuEvent click(QContextMenuEvent::Mouse, at, list.viewport()->mapToGlobal(at));
        QApplication::sendEvent(list.viewport(), &click);
    } else {
        QTest::keyClick(
            &list, Qt::Key(key), key == Qt::Key_F10 ? Qt::ShiftModifier : Qt::NoModifier);
    }
    const auto shown = [] { return qobject_cast<QMenu*>(QApplication::activePopupWidget()); };
    return QTest::qWaitFor(shown, timeoutMs) ? shown() : nullptr;
}

} // namespace

class TestModeration : public QObject {
    Q_OBJECT

private slots:
    // The menu, opened on a roster list by a right click or by the keys,
    // and its dialogs by keys alone, every control named. Disconnect: the
    // others receive the departure, the log names who went. Ban… with its
    // scope and duration: a ban closes every connection inside it at once,
    // joined or not, and refuses new ones before their greeting; a neighbour
    // is inside a /24 ban and not inside one on the address, an outsider
    // inside neither. On the operator's own row Disconnect and Ban… are off;
    // Bans… lists the ban with the connections it refused, and lifts it.
    // Escape closes a dialog.
    void rosterMenu_data()
    {
        QTest::addColumn<QString>("list");
        QTest::addColumn<int>("key"); // 0: a right click on the row
        QTest::addColumn<bool>("wholeNetwork");
        QTest::newRow("Users, right click; the address") << "Users" << 0 << false;
        QTest::newRow("Ip, Menu key; a /24") << "Ip" << int(Qt::Key_Menu) << true;
        QTest::newRow("connection, Shift+F10; the address")
            << "connection" << int(Qt::Key_F10) << false;
        QTest::newRow("Users2, right click; a /24") << "Users2" << 0 << true;
    }
    void rosterMenu()
    {
        QFETCH(QString, list);
        QFETCH(int, key);
        QFETCH(bool, wholeNetwork);
        ServerWindow w;
        QVERIFY(w.showActive());
        w.start();
        std::vector<Client> room
            = w.join({ { "127.1.3.4", "cy" }, { "127.1.2.3", "ann" }, { "127.0.0.3", "bob" } });
        Client annAgain = w.connect("127.1.2.3");
        QVERIFY(room.size() == 3 && annAgain);
        Client &cy = room[0], &ann = room[1];
        auto* box = w.control<ListBox>(qPrintable(list));
        w.control<QTabWidget>("Overzicht")->setCurrentWidget(box->parentWidget());
        if (key != 0)
            box->model().setListIndex(3);
        QMenu* menu = openedMenu(*box, key);
        QVERIFY(menu);
        QCOMPARE(box->model().ListIndex(), 3);
        QTest::keyClick(menu, Qt::Key_D);
        const QByteArray bobLeft = rosterBroadcast("QUIT", { "op", "cy", "ann" }).join();
        QVERIFY(receives(*cy, bobLeft) && receives(*ann, bobLeft));
        QVERIFY(closedUnanswered(*room[2]));
        QCOMPARE(rows(w.state.Log).last(), "Disconnected by the operator: bob from 127.0.0.3");
        QCOMPARE(roster(w.state).mid(1), (QByteArrayList { "cy 127.1.3.4 1", "ann 127.1.2.3 2" }));

        auto* users2 = w.control<ListBox>("Users2");
        w.showPage(3);
        QTest::keyClick(users2, Qt::Key_End); // Ann
        menu = openedMenu(*users2, Qt::Key_F10);
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
                if (wholeNetwork)
                    QTest::keyClick(scope, Qt::Key_Down);
                QTest::keyClick(scope, Qt::Key_Tab);
                QCOMPARE(QApplication::focusWidget(), duration);
                QTest::keyClick(duration, Qt::Key_Down); // a day
                QTest::keyClick(duration, Qt::Key_Return);
            }));
        QCOMPARE(names, (QStringList { "Scope:", "Duration:", "Ban" }));
        QVERIFY(receives(*cy, rosterBroadcast("QUIT", { "op", "cy" }).join()));
        QVERIFY(closedUnanswered(*ann) && closedUnanswered(*annAgain));
        QVERIFY(rows(w.state.Log).contains("Disconnected by the access rules: ann from 127.1.2.3"));
        QVERIFY(!greetedFrom(w.port, "127.1.2.3"));
        QCOMPARE(greetedFrom(w.port, "127.1.2.4"), !wholeNetwork);
        QVERIFY(greetedFrom(w.port, "127.1.3.4"));

        QTest::keyClick(users2, Qt::Key_Home);
        menu = openedMenu(*users2, Qt::Key_F10);
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
        const QString banned = wholeNetwork ? "127.1.2.0/24" : "127.1.2.3/32";
        QCOMPARE(names, (QStringList { "Bans", banned, wholeNetwork ? "2" : "1" }));
        QVERIFY(greetedFrom(w.port, "127.1.2.3"));
    }
};

QTEST_MAIN(TestModeration)
#include "tst_moderation.moc"
