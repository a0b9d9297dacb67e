#pragma once

#include <QtWidgets>

// Does `action`, answering the message box it shows, once `onShown` has run
// where given; returns the box's "title|icon|text", or nothing when none
// showed. The action may run the event loop before its box shows, so the box
// is looked for until it does.
template<typename Action>
inline QString boxShownBy(Action action, const std::function<void()>& onShown = {})
{
    QString box;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (auto* shown = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            box = shown->windowTitle() + u'|' + QString::number(shown->icon()) + u'|'
                + shown->text();
            if (onShown)
                onShown();
            shown->accept();
            watch.stop();
        }
    });
    watch.start(5);
    action();
    return box;
}
