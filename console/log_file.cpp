#include "log_file.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include <fcntl.h>

namespace {

constexpr qsizetype bufferSize = 256 * 1024;

using FileErrno = std::pair<QFileDevice::FileError, int>;
// Anything else is an input or output error.
constexpr FileErrno nearestErrno[] = { { QFileDevice::OpenError, EACCES },
    { QFileDevice::PermissionsError, EACCES }, { QFileDevice::ResourceError, ENOSPC },
    { QFileDevice::AbortError, ECANCELED }, { QFileDevice::TimeOutError, ETIMEDOUT } };

} // namespace

LogFile::LogFile(const QString& fileName)
    : m_file(fileName)
{
}

// Not committed: the temporary file goes, the earlier one stays.
LogFile::~LogFile()
{
    m_file.cancelWriting();
}

// Unbuffered, so that a short write (a full disk, a file size limit) shows in
// write() itself: buffered, QSaveFile reports it nowhere and commits a
// truncated file. The rows are gathered here instead.
Failure LogFile::open()
{
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        m_failure = fileFailure();
    return m_failure;
}

Failure LogFile::writeRow(QByteArrayView row)
{
    if (m_failure)
        return m_failure;
    m_buffer += '"';
    m_buffer += row;
    m_buffer += "\"\r\n";
    return m_buffer.size() < bufferSize ? Failure {} : writeBuffer();
}

Failure LogFile::writeBuffer()
{
    const qint64 written = m_file.write(m_buffer);
    if (written < 0)
        return m_failure = fileFailure();
    if (written != m_buffer.size())
        return m_failure = { ENOSPC,
            QStringLiteral("only %1 of %2 bytes could be written; the disk may be full")
                .arg(written)
                .arg(m_buffer.size()) };
    m_buffer.clear();
    // Starts writing what is there to disk, without waiting, so that the
    // commit's sync has little left to do: a hint, which where it fails
    // leaves all the work to that sync.
    (void)::sync_file_range(int(m_file.handle()), 0, 0, SYNC_FILE_RANGE_WRITE);
    return {};
}

Failure LogFile::commit()
{
    if (m_failure || writeBuffer())
        return m_failure;
    if (!m_file.commit())
        m_failure = fileFailure();
    return m_failure;
}

// Qt's own text, under the error number nearest to what Qt says failed.
Failure LogFile::fileFailure()
{
    const auto nearest = std::ranges::find(nearestErrno, m_file.error(), &FileErrno::first);
    return { nearest == std::end(nearestErrno) ? EIO : nearest->second, m_file.errorString() };
}
