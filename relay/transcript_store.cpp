#include "transcript_store.h"

#include <QDir>
#include <QStandardPaths>
#include <QStorageInfo>

#include <algorithm>
#include <utility>

namespace {

constexpr qint64 rowsPerRead = 8192;
// What a row kept in memory costs beyond its bytes.
constexpr qint64 memoryPerRow = 32;
constexpr qint64 smallestCap = 1024 * 1024;

qint64 capFor(const QString& folder)
{
    const QStorageInfo storage(folder);
    const qint64 share
        = storage.isValid() ? storage.bytesAvailable() / 4 : TranscriptStore::defaultCap;
    return std::clamp(share, smallestCap, TranscriptStore::defaultCap);
}

} // namespace

TranscriptStore::TranscriptStore(const QString& folder, QObject* parent)
    : QObject(parent)
{
    const QString where = QDir().mkpath(folder) ? folder : QDir::tempPath();
    m_cap = capFor(where);
    m_failure = m_files.open(where);
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(flushDelayMs);
    connect(&m_flushTimer, &QTimer::timeout, this, &TranscriptStore::flush);
}

QString TranscriptStore::defaultFolder()
{
    const QString serviceCache = qEnvironmentVariable("CACHE_DIRECTORY").section(u':', 0, 0);
    if (!serviceCache.isEmpty())
        return serviceCache;
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
}

void TranscriptStore::append(const QByteArray& row)
{
    emit aboutToAppend(m_count);
    if (m_failure) {
        m_inMemory.push_back(row);
        m_inMemoryBytes += row.size() + memoryPerRow;
    } else {
        m_pending.append(row);
        m_pendingEnds.push_back(m_pending.size());
    }
    ++m_count;
    emit appended(m_count - 1);
    if (m_failure)
        dropOldest();
    else if (m_pending.size() >= flushBytes)
        flush();
    else if (!m_flushTimer.isActive())
        m_flushTimer.start();
}

void TranscriptStore::flush()
{
    if (m_pendingEnds.empty() || m_failure)
        return;
    if (const Failure failure = m_files.append(m_pending, m_pendingEnds)) {
        fallBackToMemory(failure);
        dropOldest();
        return;
    }
    m_pending.clear();
    m_pendingEnds.clear();
    dropOldest();
}

// The rows written so far stay readable from the files; what waits, and all
// that comes later, is kept in memory.
void TranscriptStore::fallBackToMemory(const Failure& failure)
{
    qint64 start = 0;
    for (const qint64 end : m_pendingEnds) {
        m_inMemory.push_back(m_pending.sliced(start, end - start));
        m_inMemoryBytes += end - start + memoryPerRow;
        start = end;
    }
    m_pending.clear();
    m_pendingEnds.clear();
    m_failure = failure;
    emit storageFailed(failure);
}

qint64 TranscriptStore::keptBytes() const
{
    const qint64 pending = m_pending.size() + qint64(m_pendingEnds.size()) * RowFiles::endSize;
    return m_files.keptBytes() + pending + m_inMemoryBytes;
}

// The oldest rows go first. On disk, rows and the rows waiting to be written
// together are kept within the cap; once the disk has failed, rows in memory
// are kept within memoryCap as well, and those on disk, older, go before them.
void TranscriptStore::dropOldest()
{
    const qint64 before = m_first;
    if (!m_failure)
        dropWritten();
    else
        dropInMemory();
    if (m_first == before)
        return;
    emit dropped(m_first);
    if (!std::exchange(m_dropNoted, true))
        append(QStringLiteral("The transcripts have reached %1 MiB: from now on the oldest lines "
                              "make way for new ones.")
                   .arg((m_failure ? std::min(m_cap, memoryCap) : m_cap) >> 20)
                   .toLatin1());
}

// A quarter of the cap at a time, so that space is given back seldom. A file
// system that cannot give it back keeps what it has, and the rows from then
// on are kept in memory.
void TranscriptStore::dropWritten()
{
    if (m_first >= m_files.count() || keptBytes() <= m_cap)
        return;
    const Failure failure
        = m_files.dropBefore(m_files.firstToKeepFreeing(keptBytes() - m_cap / 4 * 3));
    m_first = m_files.first();
    if (failure)
        fallBackToMemory(failure);
}

void TranscriptStore::dropInMemory()
{
    const qint64 cap = std::min(m_cap, memoryCap);
    if (m_inMemoryBytes <= cap)
        return;
    m_first = std::max(m_first, m_files.count());
    for (; m_inMemoryBytes > cap / 4 * 3; ++m_first) {
        m_inMemoryBytes -= m_inMemory.front().size() + memoryPerRow;
        m_inMemory.pop_front();
    }
}

std::optional<QByteArray> TranscriptStore::row(qint64 row, qsizetype maxBytes) const
{
    if (row < m_first || row >= m_count)
        return std::nullopt;
    if (row < m_files.count())
        return m_files.row(row, maxBytes);
    const auto cut = [maxBytes](qint64 size) {
        return maxBytes < 0 ? size : std::min<qint64>(size, maxBytes);
    };
    const qint64 pending = row - m_files.count();
    if (pending < qint64(m_pendingEnds.size())) {
        const qint64 start = pending > 0 ? m_pendingEnds[size_t(pending - 1)] : 0;
        return m_pending.sliced(start, cut(m_pendingEnds[size_t(pending)] - start));
    }
    const QByteArray& kept = m_inMemory.at(size_t(row - (m_count - qint64(m_inMemory.size()))));
    return kept.first(cut(kept.size()));
}

qint64 TranscriptStore::readSome(
    qint64 first, qint64 last, const std::function<void(QByteArrayView)>& take) const
{
    first = std::max(first, m_first);
    last = std::min(last, m_count);
    if (first >= last)
        return first;
    if (first < m_files.count())
        return m_files.readSome(first, last, take);
    const qint64 end = std::min(last, first + rowsPerRead);
    for (qint64 i = first; i < end; ++i)
        take(*row(i));
    return end;
}
