#pragma once

#include <QListView>

class ListModel;

// A list view on a ListModel whose selected row follows the model's
// ListIndex both ways: the operator's clicks set it, and setting it in the
// model selects the row and scrolls it into view.
class ListBox final : public QListView {
    Q_OBJECT

public:
    ListBox(ListModel& model, QWidget* parent);

private:
    void showListIndex(int row);

    ListModel& m_model;
};
