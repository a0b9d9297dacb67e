// Appends chat lines to the transcripts of the real window, through the
// engine's own handler, until the log holds 1,000,000 rows; prints the cost of
// a line as the log grows, and the memory a row takes.
#include "main_window.h"
#include "slot_array.h"

#include <QApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

// A slot array with no clients, whose only message is the chat line.
class OneLineSlots final : public SlotArray {
public:
    SlotError Bind(int, quint16) override { return {}; }
    SlotError Listen(int) override { return {}; }
    void Close(int) override { }
    SlotError Load(int) override { return {}; }
    SlotError Accept(int, qint32) override { return {}; }
    SlotError SendData(int, const QByteArray&) override { return {}; }
    QByteArray GetData(int) override { return "bench: a chat line of ordinary length, 48 chars"; }
    int State(int) const override { return sckClosed; }
    QString RemoteHostIP(int) const override { return {}; }
    QString LocalIP(int) const override { return {}; }
    void DoEvents() override { QCoreApplication::processEvents(); }
    int nextConnected(int) const override { return 0; }
    void arrive() { emit dataArrival(1, 48); }
};

long rssKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const int target = argc > 1 ? std::atoi(argv[1]) : 1000000;
    OneLineSlots slots_;
    MainWindow frmMain(slots_);
    frmMain.show();
    QCoreApplication::processEvents();
    const long before = rssKiB();

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
    std::printf("\nmemory: %.0f bytes per line (both transcripts)\n", double(rssKiB() - before) * 1024 / rows);
    return 0;
}
