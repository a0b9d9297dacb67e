#include "enter_key_router.h"

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>

EnterKeyRouter::EnterKeyRouter(QWidget& window, QAbstractButton& defaultButton)
    : QObject(&window)
    , m_defaultButton(defaultButton)
{
    for (QWidget* control : window.findChildren<QWidget*>())
        control->installEventFilter(this);
}

bool EnterKeyRouter::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::KeyPress || QApplication::activePopupWidget())
        return QObject::eventFilter(watched, event);
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key != Qt::Key_Return && key != Qt::Key_Enter)
        return QObject::eventFilter(watched, event);
    auto* focusedButton = qobject_cast<QAbstractButton*>(QApplication::focusWidget());
    (focusedButton ? focusedButton : &m_defaultButton)->click();
    return true;
}
