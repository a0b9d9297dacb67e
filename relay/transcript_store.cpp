#include "transcript_store.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QStorageInfo>

#include <algorithm>
#include <cerrno>
#include <span>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 endSize = sizeof(qint64);
constexpr qint64 rowsPerRead = 8192;
constexpr qint64 bytesPerRead = 1024 * 1024;
// What a row kept in memory costs beyond its bytes.
constexpr qint64 memoryPerRow = 32;
constexpr qint64 smallestCap = 1024 * 1024;
constexpr qint64 fileBlock = 4096;

qint64 capFor(const QString& folder)
{
    const QStorageInfo storage(folder);
    const qint64 share
        = storage.isValid() ? storage.bytesAvailable() / 4 : TranscriptStore::defaultCap;
    return std::clamp(share, smallestCap, TranscriptStore::defaultCap);
}

// Gives the disk space of the file's first `bytes` back, in whole blocks;
// what reads there then is zeros.
bool freeStart(int fd, qint64 bytes)
{
    const qint64 whole = bytes / fileBlock * fileBlock;
    return whole == 0 || ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, whole) == 0;
}

// A file with no name in `folder`: nobody else can open it, and it goes when
// the program does. Where the file system has no unnamed files, a named one
// whose name is removed at once.
int privateFile(const QString& folder)
{
    const QByteArray path = QFile::encodeName(folder);
    const int fd = ::open(path.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR))
        return fd;
    QByteArray name = path + "/quenvar-transcript-XXXXXX";
    const int named = ::mkostemp(name.data(), O_CLOEXEC);
    if (named < 0 || ::unlink(name.constData()) == 0)
        return named;
    // A name that stays would let others open the file.
    const int error = errno;
    ::close(named);
    errno = error;
    return -1;
}

bool writeAt(int fd, const char* bytes, qint64 size, qint64 offset)
{
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, bytes, size_t(size), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        bytes += n;
        size -= n;
        offset += n;
    }
    return true;
}

bool readAt(int fd, char* bytes, qint64 size, qint64 offset)
{
    while (size > 0) {
        const ssize_t n = ::pread(fd, bytes, size_t(size), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        size -= n;
        offset += n;
    }
    return true;
}

// `what`, with %1 for the operating system's text for `code`.
Failure storageError(const QString& what, int code)
{
    return Failure { code, what.arg(systemError(code).text) };
}

} // namespace

TranscriptStore::TranscriptStore(const QString& folder, QObject* parent)
    : QObject(parent)
{
    const QString where = QDir().mkpath(folder) ? folder : QDir::tempPath();
    m_cap = capFor(where);
    m_data = privateFile(where);
    m_ends = m_data >= 0 ? privateFile(where) : -1;
    if (m_ends < 0) {
        m_failure = storageError(
            QStringLiteral("the transcript file cannot be created in %1: %2").arg(where), errno);
        if (m_data >= 0)
            ::close(m_data);
        m_data = -1;
    }
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(flushDelayMs);
    connect(&m_flushTimer, &QTimer::timeout, this, &TranscriptStore::flush);
}

TranscriptStore::~TranscriptStore()
{
    for (const int fd : { m_data, m_ends }) {
        if (fd >= 0)
            ::close(fd);
    }
}

QString TranscriptStore::defaultFolder()
{
    const QString serviceCache = qEnvironmentVariable("CACHE_DIRECTORY").section(u':', 0, 0);
    if (!serviceCache.isEmpty())
        return serviceCache;
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
}

qint64 TranscriptStore::sizeOnDisk() const
{
    qint64 size = 0;
    for (const int fd : { m_data, m_ends }) {
        struct stat status { };
        if (fd >= 0 && ::fstat(fd, &status) == 0)
            size += qint64(status.st_blocks) * 512;
    }
    return size;
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
    std::vector<qint64> ends(m_pendingEnds.size());
    std::transform(m_pendingEnds.begin(), m_pendingEnds.end(), ends.begin(),
        [&](qint64 end) { return m_writtenBytes + end; });
    if (!writeAt(m_data, m_pending.constData(), m_pending.size(), m_writtenBytes)
        || !writeAt(m_ends, reinterpret_cast<const char*>(ends.data()),
            qint64(ends.size()) * endSize, m_written * endSize)) {
        fallBackToMemory(
            storageError(QStringLiteral("the transcript file cannot be written: %1"), errno));
        dropOldest();
        return;
    }
    m_written += qint64(ends.size());
    m_writtenBytes = ends.back();
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
    const qint64 onDisk
        = m_first < m_written ? m_writtenBytes - m_firstByte + (m_written - m_first) * endSize : 0;
    const qint64 pending = m_pending.size() + qint64(m_pendingEnds.size()) * endSize;
    return onDisk + pending + m_inMemoryBytes;
}

// The oldest rows go first. On disk, rows and the rows waiting to be written
// together are kept within the cap; once the disk has failed, rows in memory
// are kept within memoryCap as well, and those on disk, older, go before them.
void TranscriptStore::dropOldest()
{
    const qint64 before = m_first;
    if (!m_failure && m_first < m_written && keptBytes() > m_cap) {
        dropWritten(firstRowToKeep(keptBytes() - m_cap / 4 * 3));
    } else if (m_failure && m_inMemoryBytes > std::min(m_cap, memoryCap)) {
        m_first = std::max(m_first, m_written);
        for (; m_inMemoryBytes > std::min(m_cap, memoryCap) / 4 * 3; ++m_first) {
            m_inMemoryBytes -= m_inMemory.front().size() + memoryPerRow;
            m_inMemory.pop_front();
        }
    }
    if (m_first == before)
        return;
    emit dropped(m_first);
    if (!std::exchange(m_dropNoted, true))
        append(QStringLiteral("The transcripts have reached %1 MiB: from now on the oldest lines "
                              "make way for new ones.")
                   .arg((m_failure ? std::min(m_cap, memoryCap) : m_cap) >> 20)
                   .toLatin1());
}

// Where written row `row` ends in the data file; -1 where it cannot be read.
qint64 TranscriptStore::writtenEnd(qint64 row) const
{
    qint64 end = -1;
    return readAt(m_ends, reinterpret_cast<char*>(&end), endSize, row * endSize) ? end : -1;
}

// The first written row to keep so that dropping those before it frees at
// least `excess` bytes, or all of them where that is not enough.
qint64 TranscriptStore::firstRowToKeep(qint64 excess) const
{
    qint64 low = m_first + 1;
    qint64 high = m_written;
    while (low < high) {
        const qint64 middle = low + (high - low) / 2;
        const qint64 end = writtenEnd(middle - 1);
        if (end < 0)
            return m_written;
        if (end - m_firstByte + (middle - m_first) * endSize >= excess)
            high = middle;
        else
            low = middle + 1;
    }
    return low;
}

// A file system that cannot give the space back keeps what it has, and the
// rows from then on are kept in memory.
void TranscriptStore::dropWritten(qint64 first)
{
    const qint64 firstByte = first < m_written ? writtenEnd(first - 1) : m_writtenBytes;
    m_first = first;
    m_firstByte = firstByte < 0 ? m_writtenBytes : firstByte;
    // Where the row before the first ends is where the first starts: it stays.
    if (!freeStart(m_data, m_firstByte) || !freeStart(m_ends, (m_first - 1) * endSize))
        fallBackToMemory(storageError(
            QStringLiteral(
                "the transcript file cannot give the space of its oldest lines back: %1"),
            errno));
}

std::optional<QByteArray> TranscriptStore::row(qint64 row, qsizetype maxBytes) const
{
    const auto cut = [maxBytes](qint64 size) {
        return maxBytes < 0 ? size : std::min<qint64>(size, maxBytes);
    };
    if (row < m_first || row >= m_count)
        return std::nullopt;
    if (row < m_written) {
        // Where the row before ends (0 for the first) and where this one
        // ends, in one read.
        qint64 ends[2] = {};
        qint64* const readInto = row == 0 ? &ends[1] : ends;
        const qint64 endsRead = row == 0 ? 1 : 2;
        if (!readAt(m_ends, reinterpret_cast<char*>(readInto), endsRead * endSize,
                (row + 1 - endsRead) * endSize))
            return std::nullopt;
        QByteArray bytes(cut(ends[1] - ends[0]), Qt::Uninitialized);
        if (!readAt(m_data, bytes.data(), bytes.size(), ends[0]))
            return std::nullopt;
        return bytes;
    }
    const qint64 pending = row - m_written;
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
    if (first >= m_written) {
        const qint64 end = std::min(last, first + rowsPerRead);
        for (qint64 i = first; i < end; ++i)
            take(*row(i));
        return end;
    }
    // Rows on disk: one read of where they end (with where the row before
    // them ends, but for the first row), one of their bytes.
    const qint64 before = first > 0 ? 1 : 0;
    std::vector<qint64> read(
        size_t(before + std::min({ last, m_written, first + rowsPerRead }) - first));
    if (!readAt(m_ends, reinterpret_cast<char*>(read.data()), qint64(read.size()) * endSize,
            (first - before) * endSize))
        return -1;
    const qint64 start = before ? read.front() : 0;
    const std::span<const qint64> ends = std::span(read).subspan(size_t(before));
    const auto within = std::upper_bound(ends.begin(), ends.end(), start + bytesPerRead);
    const size_t rows = std::max<size_t>(1, size_t(within - ends.begin()));
    QByteArray bytes(ends[rows - 1] - start, Qt::Uninitialized);
    if (!readAt(m_data, bytes.data(), bytes.size(), start))
        return -1;
    qint64 from = 0;
    for (size_t i = 0; i < rows; ++i) {
        take(QByteArrayView(bytes).sliced(from, ends[i] - start - from));
        from = ends[i] - start;
    }
    return first + qint64(rows);
}
