#pragma once

#include "failure.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>
#include <optional>
#include <span>

// Rows on disk: one file holds their bytes one after another, the other where
// each ends (eight bytes a row), so that any row is two positioned reads
// away. Both files are unnamed and private to the user, and go with the
// program however it ends. Rows are only appended; the oldest can be let go,
// their disk space given back, while row numbers stay as they were.
class RowFiles final {
public:
    // What the files take for a row beyond its bytes.
    static constexpr qint64 endSize = sizeof(qint64);

    RowFiles() = default;
    ~RowFiles();
    RowFiles(const RowFiles&) = delete;
    RowFiles& operator=(const RowFiles&) = delete;

    // Creates both files in `folder`.
    [[nodiscard]] Failure open(const QString& folder);

    // The rows written, and the oldest of them still kept.
    qint64 count() const { return m_count; }
    qint64 first() const { return m_first; }
    // What the rows kept take in the files: their bytes and where they end.
    qint64 keptBytes() const;
    // The disk space the files take now.
    qint64 sizeOnDisk() const;

    // Appends rows given together: `bytes`, and where each ends in them.
    [[nodiscard]] Failure append(QByteArrayView bytes, std::span<const qint64> ends);
    // The first row to keep so that letting those before it go frees at
    // least `bytes`, or count() where that is not enough.
    qint64 firstToKeepFreeing(qint64 bytes) const;
    // Lets the rows before `first` go and gives their space back. A file
    // system that cannot give it back keeps it, and says why.
    [[nodiscard]] Failure dropBefore(qint64 first);

    // At most the first `maxBytes` of a written row (all of it for -1); none
    // where it cannot be read back.
    std::optional<QByteArray> row(qint64 row, qsizetype maxBytes) const;
    // Hands written rows `first` onwards, up to `last`, to `take`, as many as
    // one read of about a megabyte brings (at least one); returns the row
    // after the last one handed over, or -1 when the files cannot be read.
    qint64 readSome(
        qint64 first, qint64 last, const std::function<void(QByteArrayView)>& take) const;

private:
    qint64 end(qint64 row) const;

    int m_data = -1;
    int m_ends = -1;
    qint64 m_count = 0;
    qint64 m_bytes = 0;
    // The oldest row kept, and where it starts in the data file.
    qint64 m_first = 0;
    qint64 m_firstByte = 0;
};
