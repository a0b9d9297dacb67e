#pragma once

#include "list_model.h"

#include <QByteArrayList>

// A list's rows, to compare with the expected rows in one go.
inline QByteArrayList rows(const ListModel& list)
{
    QByteArrayList texts;
    for (int i = 0; i < list.ListCount(); ++i)
        texts.append(list.List(i));
    return texts;
}
