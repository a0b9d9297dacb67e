#pragma once

#include <QString>
#include <QtGlobal>

// Colours as the status label is given them: 24-bit RGB with red in the low byte.
inline constexpr quint32 colourRed = 255;
inline constexpr quint32 colourGreen = 65280;

// The window as the engine sees it: the fields it reads and writes, and the
// two things it asks of the window. The main window implements it; engine
// tests use plain fields.
class OperatorConsole {
public:
    enum class Icon { Critical };

    virtual ~OperatorConsole() = default;

    virtual void setCaption(const QString& caption) = 0;
    virtual QString nickname() const = 0; // txtNickname
    virtual QString message() const = 0; // txtMessage
    virtual void setMessage(const QString& text) = 0;
    // The text part of cmbPort, which the operator may type into.
    virtual QString portText() const = 0;
    virtual void setPortEnabled(bool enabled) = 0;
    virtual void setStartEnabled(bool enabled) = 0;
    virtual void setStopEnabled(bool enabled) = 0;
    virtual void setStatus(const QString& caption, quint32 colour) = 0; // lblStatus
    virtual void setOnline(const QString& caption) = 0; // lblOnline

    // A modal box with one OK button; returns once the operator has closed it.
    virtual void showMessageBox(const QString& text, const QString& title, Icon icon) = 0;
    virtual void flash() = 0;
};
