#pragma once

#include "console.h"

#include <QStringList>

#include <tuple>
#include <utility>

// The console as plain fields, recording what the engine asks of the window.
class FakeConsole final : public Console {
public:
    void setCaption(const QString& text) override { caption = text; }
    QString nickname() const override { return txtNickname; }
    QString message() const override { return txtMessage; }
    void setMessage(const QString& text) override { txtMessage = text; }
    QString portText() const override { return typedPort; }
    void setPortEnabled(bool enabled) override { std::get<2>(buttons) = enabled; }
    void setStartEnabled(bool enabled) override { std::get<0>(buttons) = enabled; }
    void setStopEnabled(bool enabled) override { std::get<1>(buttons) = enabled; }
    void setStatus(const QString& text, quint32 colour) override { status = { text, colour }; }
    void setOnline(const QString& text) override { online = text; }
    void showMessageBox(const QString& text, const QString& title, Icon) override
    {
        boxes.append(title + u'|' + text);
    }
    void flash() override { ++flashes; }

    QString caption, txtNickname, txtMessage, typedPort, online;
    std::tuple<bool, bool, bool> buttons { true, true, true }; // Start, Stop, the port box
    std::pair<QString, quint32> status;
    QStringList boxes; // title|text
    int flashes = 0;
};
