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
    if (m_writing.valid())
        m_writing.wait();
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
    if (m_buffer.size() >= bufferSize)
        handOver();
    return m_failure;
}

bool LogFile::waitingForDisk(std::chrono::milliseconds patience)
{
    if (m_failure || m_buffer.size() < bufferSize)
        return false;
    if (m_writing.valid())
        m_writing.wait_for(patience);
    handOver();
    return !m_failure && m_buffer.size() >= bufferSize;
}

void LogFile::handOver()
{
    if (m_writing.valid()) {
        if (m_writing.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
            return;
        finishWrite();
        if (m_failure)
            return;
    }
    m_written = std::exchange(m_buffer, {});
    m_writing = std::async(std::launch::async, [this]() -> Failure {
        const qint64 written = m_file.write(m_written);
        if (written < 0)
            return fileFailure();
        if (written != m_written.size())
            return { ENOSPC,
                QStringLiteral("only %1 of %2 bytes could be written; the disk may be full")
                    .arg(written)
                    .arg(m_written.size()) };
        // Starts writing what is there to disk, without waiting, so that the
        // commit's sync has little left to do: a hint, which where it fails
        // leaves all the work to that sync.
        (void)::sync_file_range(int(m_file.handle()), 0, 0, SYNC_FILE_RANGE_WRITE);
        return {};
    });
}

// Waits for the background write; its failure is every later call's.
void LogFile::finishWrite()
{
    if (Failure failure = m_writing.get())
        m_failure = failure;
}

Failure LogFile::commit()
{
    if (m_writing.valid())
        finishWrite();
    if (!m_failure && !m_buffer.isEmpty()) {
        handOver();
        finishWrite();
    }
    if (!m_failure && !m_file.commit())
        m_failure = fileFailure();
    return m_failure;
}

// Qt's own text, under the error number nearest to what Qt says failed.
Failure LogFile::fileFailure()
{
    const auto nearest = std::ranges::find(nearestErrno, m_file.error(), &FileErrno::first);
    return { nearest == std::end(nearestErrno) ? EIO : nearest->second, m_file.errorString() };
}
