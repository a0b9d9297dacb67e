#pragma once

#include "loopback.h"

#include <QtTest>
#include <QtWidgets>

#include <utility>

// Does `action`, running `onShown` on the modal dialog it shows once that is
// active and, where `keys` is set, once one of its controls has the keys; one
// that `onShown` leaves open is rejected, and so is any shown after it, so
// that the test goes on. The action may run the event loop before its dialog
// shows, so the dialog is looked for until it does. Returns whether
// `onShown` closed it.
template<typename Dialog, typename Action>
bool modalShownBy(Action action, const std::function<void(Dialog&)>& onShown, bool keys = true)
{
    bool shown = false;
    bool closed = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        watch.stop();
        if (!std::exchange(shown, true)) {
            const bool active = QTest::qWaitForWindowActive(dialog, timeoutMs)
                && (!keys
                    || QTest::qWaitFor(
                        [dialog] { return dialog->isAncestorOf(QApplication::focusWidget()); },
                        timeoutMs));
            onShown(*dialog);
            closed = active && !dialog->isVisible();
        }
        if (dialog->isVisible())
            dialog->reject();
        watch.start();
    });
    watch.start(5);
    action();
    return closed;
}

// Does `action`, answering the message boxes it shows, the first once
// `onShown` has run where given; returns the first's "title|icon|text", or
// nothing when none showed.
template<typename Action>
QString boxShownBy(Action action, const std::function<void()>& onShown = {})
{
    QString box;
    modalShownBy<QMessageBox>(
        action,
        [&](QMessageBox& shown) {
            box = shown.windowTitle() + u'|' + QString::number(shown.icon()) + u'|' + shown.text();
            if (onShown)
                onShown();
            shown.accept();
        },
        false);
    return box;
}
