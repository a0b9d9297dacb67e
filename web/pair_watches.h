#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <functional>

// All web clients' socket pairs in one epoll set, so that Qt's event loop
// watches one descriptor for them however many browsers are connected, as
// the slot array does for its clients. Each pair end is watched for the
// events its bridge asks for, and the bridge is told which came.
class PairWatches : public QObject {
    Q_OBJECT

public:
    using Handler = std::function<void(quint32 events)>;

    explicit PairWatches(QObject* parent = nullptr);
    ~PairWatches() override;

    bool isValid() const { return m_fd >= 0; }
    // Starts watching `fd` for `events`, reported to `handler`, which must
    // outlive the watch; closing `fd` ends it.
    bool watch(int fd, quint32 events, const Handler* handler);
    bool change(int fd, quint32 events, const Handler* handler);

private:
    void dispatch();

    int m_fd;
    QSocketNotifier m_notifier;
};
