#include "main_window.h"
#include "socket_slot_array.h"

#include <QApplication>
#include <QIcon>

#include <csignal>

#include <sys/resource.h>

namespace {

// Every client holds a descriptor; the soft limit is often far below what
// the system allows this process.
void raiseOpenFileLimit()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

int main(int argc, char* argv[])
{
    // A client that goes away while being written to must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
    raiseOpenFileLimit();

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quenvar Chat Server"));
    QApplication::setDesktopFileName(QStringLiteral("quenvar-chat-server"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/quenvar-chat-server.png")));

    SocketSlotArray server;
    MainWindow frmMain(server);
    frmMain.show();
    return app.exec();
}
