#pragma once

#include "list_rows.h"

class TranscriptStore;

// One transcript as a list box shows it: the store's rows from where this
// view starts. Clear moves the start to the store's end; the other view
// over the same store keeps its rows. Rows the store no longer keeps leave
// the view.
class TranscriptView final : public ListRows {
    Q_OBJECT

public:
    explicit TranscriptView(TranscriptStore& store, QObject* parent = nullptr);

    TranscriptStore& store() const { return m_store; }
    // The store's row that is this view's first.
    qint64 start() const { return m_start; }
    void Clear();

    int ListCount() const override;
    QByteArray List(int row) const override;
    QByteArray ListPrefix(int row, qsizetype maxBytes) const override;

private:
    void dropBefore(qint64 first);

    TranscriptStore& m_store;
    qint64 m_start = 0;
};
