// How long a window event waits while the server broadcasts: the real window
// serves N clients (5,000 by default) on loopback and the operator's Send
// broadcasts to all of them, again and again, while another thread posts an
// event to the window as soon as the last one was handled. Prints how long
// the posted events waited, during the broadcasts. (A posted event goes the
// way a key or a click does; a key event itself cannot be made off the
// window's thread.)
#include "port_reservation.h"
#include "process_setup.h"
#include "server_program.h"
#include "sockets.h"
#include "statistics.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Records when each posted event is handled.
class EventClock final : public QObject {
public:
    std::vector<double> waitsMs; // read only once the poster has stopped
    std::atomic<size_t> handled { 0 };
    std::atomic<qint64> postedAtNs { 0 };

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::User) {
            const qint64 now = Clock::now().time_since_epoch().count();
            waitsMs.push_back(double(now - postedAtNs.load()) / 1e6);
            ++handled;
            return true;
        }
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

int main(int argc, char* argv[])
{
    if (const Failure limit = prepareProcessForClients())
        qFatal("the open-file limit: %s", qPrintable(limit.text));
    QApplication app(argc, argv);
    const int clients = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int broadcasts = argc > 2 ? std::atoi(argv[2]) : 20;

    ServerProgram program;
    MainWindow& frmMain = program.frmMain;
    frmMain.show();
    const bench::PortReservation reserved;
    const auto port = quint16(reserved.port());
    program.start(QStringLiteral("op"), port);
    if (program.server.State(0) != SlotArray::sckListening)
        return 1;

    std::vector<int> fds;
    for (int i = 0; i < clients; ++i) {
        fds.push_back(bench::connectTo(port, bench::clientAddress(i)));
        if (i % 100 == 99)
            QCoreApplication::processEvents();
    }
    QElapsedTimer waiting;
    waiting.start();
    while (program.state.connectie < clients && waiting.elapsed() < 60000)
        QCoreApplication::processEvents();

    auto* message = frmMain.findChild<QLineEdit*>(QStringLiteral("txtMessage"));
    auto* send = frmMain.findChild<QPushButton*>(QStringLiteral("cmdSend"));
    EventClock events;
    frmMain.installEventFilter(&events);
    std::atomic<bool> broadcasting = true;
    // Posts the next event only once the last one was handled.
    std::thread poster([&] {
        size_t posted = 0;
        while (broadcasting) {
            if (events.handled == posted) {
                events.postedAtNs = Clock::now().time_since_epoch().count();
                QCoreApplication::postEvent(&frmMain, new QEvent(QEvent::User));
                ++posted;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    // The clients read what they are sent, as clients do, on a thread of
    // their own that sleeps between sweeps, so that three threads do not
    // share two cores.
    std::thread readers([&] {
        char drain[65536];
        while (broadcasting) {
            for (const int fd : fds)
                while (::recv(fd, drain, sizeof drain, MSG_DONTWAIT) > 0) { }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    QElapsedTimer clock;
    clock.start();
    for (int b = 0; b < broadcasts; ++b) {
        message->setText(QStringLiteral("operator line %1").arg(b));
        send->click();
    }
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    broadcasting = false;
    poster.join();
    readers.join();
    QCoreApplication::processEvents();
    std::printf("| clients | broadcasts | s | events handled | wait p50 ms | p99 ms | max ms "
                "|\n|---|---|---|---|---|---|---|\n");
    std::printf("| %d | %d | %.2f | %zu | %.3f | %.3f | %.3f |\n", clients, broadcasts, seconds,
        events.waitsMs.size(), bench::percentile(events.waitsMs, 0.5),
        bench::percentile(events.waitsMs, 0.99), bench::percentile(events.waitsMs, 1.0));
    for (const int fd : fds)
        ::close(fd);
    return 0;
}
