#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

// Does `action`, answering the message box it shows; returns the box's
// "title|icon|text", or nothing when none showed.
template<typename Action>
inline QString boxShownBy(Action action)
{
    QString box;
    QObject watch;
    QTimer::singleShot(0, &watch, [&] {
        if (auto* shown = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            box = shown->windowTitle() + u'|' + QString::number(shown->icon()) + u'|' + shown->text();
            shown->accept();
        }
    });
    action();
    return box;
}
