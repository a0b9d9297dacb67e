#pragma once

#include "client.h"
#include "clock.h"

namespace bench {

// An ordinary client beside a heavy one: it sends a short line a second, the
// next only once the last has come back, and keeps the longest wait.
class PacedLines {
public:
    explicit PacedLines(Client& client)
        : m_client(client)
    {
    }

    // Reads what has come, and sends the next line once its second is due;
    // `now` counts from the start of the run.
    void poll(double now);
    int answered() const { return m_answered; }
    double worstSeconds() const { return m_worst; }

private:
    Client& m_client;
    int m_answered = 0;
    double m_worst = 0;
    bool m_waiting = false;
    Clock::time_point m_askedAt;
};

} // namespace bench
