#pragma once

#include <QObject>

class QAbstractButton;
class QWidget;

// Enter pressed anywhere in a window presses its default button, unless a
// button has the focus: then it presses that one. It watches the controls
// the window has when it is made.
class EnterKeyRouter final : public QObject {
    Q_OBJECT

public:
    EnterKeyRouter(QWidget& window, QAbstractButton& defaultButton);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QAbstractButton& m_defaultButton;
};
