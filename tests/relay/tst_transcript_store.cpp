#include "file_size_limit.h"
#include "transcript_store.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

// Rows of every kind: every byte value, none, a megabyte, and many short
// ones, so that some are on disk and the last still wait in memory.
QByteArrayList sampleRows()
{
    QByteArray everyByte(256, Qt::Uninitialized);
    for (int i = 0; i < 256; ++i)
        everyByte[i] = char(i);
    QByteArrayList rows { everyByte, QByteArray(), QByteArray(1024 * 1024, '\xe9') };
    for (int i = 0; i < 20000; ++i)
        rows.append("line " + QByteArray::number(i));
    return rows;
}

QByteArrayList storedRows(const TranscriptStore& store)
{
    QByteArrayList rows;
    for (qint64 i = 0; i < store.count(); ++i)
        rows.append(store.row(i));
    return rows;
}

QByteArrayList readInSteps(const TranscriptStore& store)
{
    QByteArrayList rows;
    for (qint64 next = 0; next >= 0 && next < store.count();)
        next = store.readSome(
            next, store.count(), [&](QByteArrayView row) { rows.append(row.toByteArray()); });
    return rows;
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).count());
}

// Cuts the index of a store in `folder`, where `rows` rows end, to the first
// row, under the store.
void cutIndex(const QString& folder, qint64 rows)
{
    for (const QFileInfo& file :
        QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::AllEntries | QDir::System)) {
        if (file.symLinkTarget().startsWith(folder) && file.size() == rows * qint64(sizeof rows))
            QCOMPARE(::truncate(QFile::encodeName(file.filePath()).constData(), sizeof rows), 0);
    }
}

} // namespace

class TestTranscriptStore : public QObject {
    Q_OBJECT

private slots:
    // Rows come back as they went in, from disk or from the buffer not yet
    // written, whole, cut short or in steps. The files have no name in the
    // folder, and nothing is left open once the store has gone.
    void rowsComeBackAsWritten()
    {
        QTemporaryDir dir;
        const int descriptors = openDescriptors();
        {
            TranscriptStore store(dir.path());
            const QByteArrayList rows = sampleRows();
            for (const QByteArray& row : rows)
                store.append(row);
            QVERIFY(store.failure().isEmpty());
            QCOMPARE(storedRows(store), rows);
            QCOMPARE(readInSteps(store), rows);
            QCOMPARE(store.row(2, 3), "\xe9\xe9\xe9");
            QCOMPARE(store.row(0, 1000), rows.at(0));
            QCOMPARE(store.row(rows.size()), QByteArray());
            store.flush();
            QCOMPARE(storedRows(store), rows);
            QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList());
            // Rows past an index cut short read as failed, not as other rows.
            cutIndex(dir.path(), store.count());
            QCOMPARE(store.row(0), rows.at(0));
            QCOMPARE(store.row(2), QByteArray());
            QCOMPARE(store.readSome(1, store.count(), [](QByteArrayView) {}), -1);
        }
        QCOMPARE(openDescriptors(), descriptors);
    }

    // Where the files cannot be made, or stop taking rows, rows are kept in
    // memory from then on, said once; none is lost.
    void fallsBackToMemory()
    {
        QTemporaryDir dir;
        QFile blocker(dir.filePath(QStringLiteral("a-file")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        const QByteArray savedTmp = qgetenv("TMPDIR");
        qputenv("TMPDIR", QFile::encodeName(blocker.fileName() + QStringLiteral("/tmp")));
        TranscriptStore nowhere(blocker.fileName() + QStringLiteral("/transcripts"));
        qputenv("TMPDIR", savedTmp);
        QVERIFY2(nowhere.failure().contains(QStringLiteral("cannot be created")),
            qPrintable(nowhere.failure()));
        nowhere.append("kept");
        QCOMPARE(storedRows(nowhere), QByteArrayList { "kept" });

        TranscriptStore store(dir.path());
        QSignalSpy failures(&store, &TranscriptStore::storageFailed);
        const QByteArrayList rows = sampleRows();
        // The megabyte row is written, the short ones after it are not.
        withFileSizeLimit(1100 * 1024, [&] {
            for (const QByteArray& row : rows)
                store.append(row);
            store.flush();
        });
        QCOMPARE(failures.size(), 1);
        QVERIFY2(store.failure().contains(QStringLiteral("cannot be written")),
            qPrintable(store.failure()));
        QCOMPARE(storedRows(store), rows);
        QCOMPARE(readInSteps(store), rows);
    }
};

QTEST_GUILESS_MAIN(TestTranscriptStore)
#include "tst_transcript_store.moc"
