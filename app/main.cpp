#include "main_window.h"
#include "process_setup.h"
#include "socket_slot_array.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char* argv[])
{
    prepareProcessForClients();

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quenvar Chat Server"));
    QApplication::setDesktopFileName(QStringLiteral("quenvar-chat-server"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/quenvar-chat-server.png")));

    SocketSlotArray server;
    MainWindow frmMain(server);
    frmMain.show();
    return app.exec();
}
