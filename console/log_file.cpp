#include "log_file.h"

#include <fcntl.h>

namespace {

constexpr qsizetype bufferSize = 256 * 1024;

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
bool LogFile::open()
{
    if (m_file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return true;
    m_error = m_file.errorString();
    return false;
}

bool LogFile::writeRow(QByteArrayView row)
{
    if (!m_error.isEmpty())
        return false;
    m_buffer += '"';
    m_buffer += row;
    m_buffer += "\"\r\n";
    return m_buffer.size() < bufferSize || writeBuffer();
}

bool LogFile::writeBuffer()
{
    const qint64 written = m_file.write(m_buffer);
    if (written != m_buffer.size()) {
        m_error = written < 0
            ? m_file.errorString()
            : QStringLiteral("only %1 of %2 bytes could be written; the disk may be full")
                  .arg(written)
                  .arg(m_buffer.size());
        return false;
    }
    m_buffer.clear();
    // Starts writing what is there to disk, without waiting, so that the
    // commit's sync has little left to do.
    ::sync_file_range(int(m_file.handle()), 0, 0, SYNC_FILE_RANGE_WRITE);
    return true;
}

bool LogFile::commit()
{
    if (!m_error.isEmpty() || !writeBuffer())
        return false;
    if (m_file.commit())
        return true;
    m_error = m_file.errorString();
    return false;
}
