// The real server, window and all, started through its own controls on the
// port given, so that the load generator measures what a user runs. A second
// argument names the tab the window shows while it serves.
#include "main_window.h"
#include "process_setup.h"
#include "socket_slot_array.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>

#include <cstdio>

int main(int argc, char* argv[])
{
    prepareProcessForClients();
    QApplication app(argc, argv);
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s PORT [Settings|Logs|Users|Chat]\n", argv[0]);
        return 2;
    }
    SocketSlotArray server;
    MainWindow frmMain(server);
    frmMain.show();
    frmMain.findChild<QLineEdit*>(QStringLiteral("txtNickname"))->setText(QStringLiteral("op"));
    frmMain.findChild<QComboBox*>(QStringLiteral("cmbPort"))->setEditText(QString::fromLatin1(argv[1]));
    frmMain.findChild<QPushButton*>(QStringLiteral("cmdStart"))->click();
    if (frmMain.findChild<QLabel*>(QStringLiteral("lblStatus"))->text() != QStringLiteral("Running"))
        return 1;
    if (argc == 3) {
        auto* tabs = frmMain.findChild<QTabWidget*>(QStringLiteral("Overzicht"));
        for (int i = 0; i < tabs->count(); ++i) {
            if (tabs->tabText(i) == QLatin1String(argv[2]))
                tabs->setCurrentIndex(i);
        }
    }
    return app.exec();
}
