#include "list_box.h"

#include "list_model.h"

ListBox::ListBox(ListModel& model, QWidget* parent)
    : QListView(parent)
    , m_model(model)
{
    setModel(&model);
    // Every row has the same height, which keeps views of very long
    // transcripts from measuring rows one by one.
    setUniformItemSizes(true);
    setSelectionMode(SingleSelection);
    setEditTriggers(NoEditTriggers);
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        const QModelIndexList selected = selectionModel()->selectedIndexes();
        m_model.setListIndex(selected.isEmpty() ? -1 : selected.first().row());
    });
    connect(&model, &ListModel::listIndexChanged, this, &ListBox::showListIndex);
}

void ListBox::showListIndex(int row)
{
    if (row < 0) {
        selectionModel()->clearSelection();
        return;
    }
    const QModelIndex index = m_model.index(row);
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
    scrollTo(index);
}
