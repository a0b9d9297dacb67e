#pragma once

#include "console.h"

#include <QStringList>

// The console as plain fields, recording what the engine asks of the window.
class FakeConsole final : public Console {
public:
    struct MessageBox {
        QString text;
        QString title;
        Icon icon;
    };

    void setCaption(const QString& text) override { caption = text; }
    QString nickname() const override { return txtNickname; }
    QString message() const override { return txtMessage; }
    void setMessage(const QString& text) override { txtMessage = text; }
    QString portText() const override { return typedPort; }
    void setPortEnabled(bool enabled) override { portEnabled = enabled; }
    void setStartEnabled(bool enabled) override { startEnabled = enabled; }
    void setStopEnabled(bool enabled) override { stopEnabled = enabled; }
    void setStatus(const QString& text, quint32 colour) override
    {
        status = text;
        statusColour = colour;
    }
    void setOnline(const QString& text) override { online = text; }
    void showMessageBox(const QString& text, const QString& title, Icon icon) override
    {
        boxes.append({ text, title, icon });
    }
    void flash() override { ++flashes; }

    QString caption;
    QString txtNickname;
    QString txtMessage;
    QString typedPort;
    bool portEnabled = true;
    bool startEnabled = true;
    bool stopEnabled = true;
    QString status;
    quint32 statusColour = 0;
    QString online;
    QList<MessageBox> boxes;
    int flashes = 0;
};
