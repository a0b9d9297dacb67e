#include "row_files.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 rowsPerRead = 8192;
constexpr qint64 bytesPerRead = 1024 * 1024;
constexpr qint64 fileBlock = 4096;

// `what`, with %1 for the operating system's text for errno.
Failure storageError(const QString& what)
{
    const int code = errno;
    return Failure { code, what.arg(systemError(code).text) };
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
    closeDescriptor(named);
    return -1;
}

// Gives the disk space of the file's first `bytes` back, in whole blocks;
// what reads there then is zeros.
bool freeStart(int fd, qint64 bytes)
{
    const qint64 whole = bytes / fileBlock * fileBlock;
    return whole == 0 || ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, whole) == 0;
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

bool readEnds(int fd, std::span<qint64> ends, qint64 firstRow)
{
    return readAt(fd, reinterpret_cast<char*>(ends.data()), qint64(ends.size()) * RowFiles::endSize,
        firstRow * RowFiles::endSize);
}

} // namespace

RowFiles::~RowFiles()
{
    for (const int fd : { m_data, m_ends }) {
        if (fd >= 0)
            closeDescriptor(fd);
    }
}

Failure RowFiles::open(const QString& folder)
{
    m_data = privateFile(folder);
    m_ends = m_data >= 0 ? privateFile(folder) : -1;
    if (m_ends >= 0)
        return {};
    const Failure failure = storageError(
        QStringLiteral("the transcript file cannot be created in %1: %2").arg(folder));
    if (m_data >= 0)
        closeDescriptor(std::exchange(m_data, -1));
    return failure;
}

qint64 RowFiles::keptBytes() const
{
    return m_first < m_count ? m_bytes - m_firstByte + (m_count - m_first) * endSize : 0;
}

qint64 RowFiles::sizeOnDisk() const
{
    qint64 size = 0;
    for (const int fd : { m_data, m_ends }) {
        struct stat status { };
        if (fd >= 0 && ::fstat(fd, &status) == 0)
            size += qint64(status.st_blocks) * 512;
    }
    return size;
}

Failure RowFiles::append(QByteArrayView bytes, std::span<const qint64> ends)
{
    std::vector<qint64> fileEnds(ends.size());
    std::ranges::transform(ends, fileEnds.begin(), [&](qint64 end) { return m_bytes + end; });
    if (!writeAt(m_data, bytes.data(), bytes.size(), m_bytes)
        || !writeAt(m_ends, reinterpret_cast<const char*>(fileEnds.data()),
            qint64(fileEnds.size()) * endSize, m_count * endSize))
        return storageError(QStringLiteral("the transcript file cannot be written: %1"));
    m_count += qint64(fileEnds.size());
    m_bytes = fileEnds.empty() ? m_bytes : fileEnds.back();
    return {};
}

// Where row `row` ends in the data file; -1 where it cannot be read.
qint64 RowFiles::end(qint64 row) const
{
    qint64 end = -1;
    return readEnds(m_ends, std::span(&end, 1), row) ? end : -1;
}

qint64 RowFiles::firstToKeepFreeing(qint64 bytes) const
{
    qint64 low = m_first + 1;
    qint64 high = m_count;
    while (low < high) {
        const qint64 middle = low + (high - low) / 2;
        const qint64 end = this->end(middle - 1);
        if (end < 0)
            return m_count;
        if (end - m_firstByte + (middle - m_first) * endSize >= bytes)
            high = middle;
        else
            low = middle + 1;
    }
    return low;
}

Failure RowFiles::dropBefore(qint64 first)
{
    const qint64 firstByte = first < m_count ? end(first - 1) : m_bytes;
    m_first = first;
    m_firstByte = firstByte < 0 ? m_bytes : firstByte;
    // Where the row before the first ends is where the first starts: it stays.
    if (freeStart(m_data, m_firstByte) && freeStart(m_ends, (m_first - 1) * endSize))
        return {};
    return storageError(
        QStringLiteral("the transcript file cannot give the space of its oldest lines back: %1"));
}

std::optional<QByteArray> RowFiles::row(qint64 row, qsizetype maxBytes) const
{
    // Where the row before ends (0 for the first) and where this one ends,
    // in one read.
    qint64 ends[2] = {};
    const auto read = row == 0 ? std::span(ends).last(1) : std::span(ends);
    if (!readEnds(m_ends, read, row + 1 - qint64(read.size())))
        return std::nullopt;
    const qint64 size = ends[1] - ends[0];
    QByteArray bytes(maxBytes < 0 ? size : std::min<qint64>(size, maxBytes), Qt::Uninitialized);
    if (!readAt(m_data, bytes.data(), bytes.size(), ends[0]))
        return std::nullopt;
    return bytes;
}

qint64 RowFiles::readSome(
    qint64 first, qint64 last, const std::function<void(QByteArrayView)>& take) const
{
    // One read of where the rows end (with where the row before them ends,
    // but for the first row), one of their bytes.
    const qint64 before = first > 0 ? 1 : 0;
    std::vector<qint64> read(
        size_t(before + std::min({ last, m_count, first + rowsPerRead }) - first));
    if (!readEnds(m_ends, read, first - before))
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
