// Appends chat lines to the transcripts of the real window, through the
// engine's own handler, until the log holds 1,000,000 rows; prints the cost of
// a line as the log grows, and the memory a row takes.
//
// With --long-lines: fills every list with rows of 1 MiB and prints how long
// one paint of the Chat, Logs and Users pages takes (rendered into an image,
// through the same paint code the screen uses).
#include "main_window.h"
#include "relay_engine.h"
#include "resident_memory.h"
#include "server_state.h"
#include "slot_array.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QTabWidget>
#include <QWindow>

#include <algorithm>
#include <cstring>
#include <vector>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

// A slot array with no clients, whose only message is the chat line.
class OneLineSlots final : public SlotArray {
public:
    Failure Bind(int, quint16) override { return {}; }
    Failure Listen(int) override { return {}; }
    void Close(int) override { }
    Failure Load(int) override { return {}; }
    Failure Accept(int, qint32) override { return {}; }
    Failure SendData(int, const QByteArray&) override { return {}; }
    Failure SendRoster(int, const RosterBroadcast&) override { return {}; }
    // A fresh copy of the line on the heap, as a read gives.
    QByteArray GetData(int) override { return "bench: a chat line of ordinary length, 48 chars"; }
    int State(int) const override { return sckClosed; }
    QString RemoteHostIP(int) const override { return {}; }
    QString LocalIP(int) const override { return {}; }
    void Disconnect(int) override { }
    void DoEvents() override { QCoreApplication::processEvents(); }
    int nextConnected(int) const override { return 0; }
    void runInTurn(const QObject*, std::function<void()> command) override { command(); }
    void arrive() { emit dataArrival(1, 48); }
};

int paintLongLines(MainWindow& frmMain, ServerState& state)
{
    QByteArray row(1024 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < row.size(); ++i)
        row[i] = char(0x20 + i % 224);
    for (int i = 0; i < 20; ++i) {
        state.transcript.append(row);
        for (ListModel* list : { &state.Users, &state.Users2, &state.Ip, &state.connection })
            list->AddItem(row);
    }
    auto* tabs = frmMain.findChild<QTabWidget*>(QStringLiteral("Overzicht"));
    QElapsedTimer shown;
    shown.start();
    while (
        !(frmMain.windowHandle() && frmMain.windowHandle()->isExposed()) && shown.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    std::printf("| page | ms per paint (median of 9) |\n|---|---|\n");
    for (int page : { 3, 1, 2 }) {
        tabs->setCurrentIndex(page);
        QCoreApplication::processEvents();
        std::vector<double> times;
        for (int i = 0; i < 9; ++i) {
            QElapsedTimer clock;
            clock.start();
            QImage image(tabs->currentWidget()->size(), QImage::Format_ARGB32_Premultiplied);
            tabs->currentWidget()->render(&image);
            times.push_back(double(clock.nsecsElapsed()) / 1e6);
        }
        std::sort(times.begin(), times.end());
        std::printf("| %s | %.2f |\n", qPrintable(tabs->tabText(page)), times[times.size() / 2]);
    }
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    OneLineSlots slots_;
    ServerState state;
    MainWindow frmMain(state, slots_);
    RelayEngine engine(state, slots_, frmMain);
    frmMain.load(engine);
    frmMain.show();
    QCoreApplication::processEvents();
    if (argc > 1 && std::strcmp(argv[1], "--long-lines") == 0)
        return paintLongLines(frmMain, state);
    const int target = argc > 1 ? std::atoi(argv[1]) : 1000000;
    const long before = bench::residentKiB();

    std::printf("| log rows | us per line |\n|---|---|\n");
    constexpr int batch = 1000;
    int rows = 0;
    for (int report = batch; report <= target; report *= 10) {
        while (rows + batch < report) {
            for (int i = 0; i < batch; ++i)
                slots_.arrive();
            QCoreApplication::processEvents();
            rows += batch;
        }
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < batch; ++i)
            slots_.arrive();
        QCoreApplication::processEvents();
        rows += batch;
        std::printf("| %d | %.2f |\n", rows, double(clock.nsecsElapsed()) / 1e3 / batch);
        std::fflush(stdout);
    }
    std::printf("\nmemory: %.0f bytes per line (both transcripts)\n",
        double(bench::residentKiB() - before) * 1024 / rows);
    return 0;
}
