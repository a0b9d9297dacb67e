#pragma once

#include "failure.h"

#include <QObject>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP as a Qt signal. The handler only writes the signal's
// number to a socket pair that the event loop watches, so that the work is
// done by the loop, never inside the handler. One at a time per process.
class StopSignals final : public QObject {
    Q_OBJECT

public:
    explicit StopSignals(QObject* parent = nullptr);
    // Puts the default handlers back.
    ~StopSignals() override;

    // Why the signals keep their default action (SIGTERM and SIGINT end the
    // program at once, unsaved), or none while they come to the loop.
    const Failure& failure() const { return m_failure; }

signals:
    void received(int signal);

private:
    void readSignal();
    void closePair();

    QSocketNotifier* m_notifier = nullptr;
    Failure m_failure;
};
