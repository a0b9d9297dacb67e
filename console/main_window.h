#pragma once

#include "form_controls.h"
#include "log_export.h"
#include "operator_console.h"

#include <QMainWindow>

#include <functional>
#include <optional>

class Moderation;
class QLabel;
class QUrl;
class RelayEngine;
class SlotArray;
struct ServerState;

// The operator console, frmMain: it shows the server state on four tabs,
// turns its controls' events into the engine's handlers, and is the console
// the engine talks to. Its own commands are the smaller ones: clearing,
// saving and printing the log, About and Quit.
class MainWindow final : public QMainWindow, public OperatorConsole {
    Q_OBJECT

public:
    MainWindow(ServerState& state, SlotArray& server, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Hands the controls' events to the engine, and loads the form: the
    // start-up values, before the window takes input.
    void load(RelayEngine& engine);
    // Gives the roster's lists their context menu.
    void addRosterMenu(Moderation& moderation);
    LogExport& logExport() { return m_logExport; }
    // What Quit does once slot 0 is closed; unless replaced, ends the event
    // loop, once the handler under way (if any) has returned, so that all is
    // torn down in order.
    void setEndProgram(std::function<void()> endProgram);
    // Puts what is given into the port and nickname boxes, as if typed.
    void offerStart(std::optional<int> port, const std::optional<QString>& nickname);
    // The status bar's link to the chat page while it is served, or why it
    // is not; empty once the service stops.
    void showWebPage(const QUrl& page);
    void showWebFailure(const QString& reason);
    void hideWebPage();

    void setCaption(const QString& caption) override;
    QString nickname() const override;
    QString message() const override;
    void setMessage(const QString& text) override;
    QString portText() const override;
    void setPortEnabled(bool enabled) override;
    void setStartEnabled(bool enabled) override;
    void setStopEnabled(bool enabled) override;
    void setStatus(const QString& caption, quint32 colour) override;
    void setOnline(const QString& caption) override;
    void showMessageBox(const QString& text, const QString& title, Icon icon) override;
    void flash() override;

    void cmdClearChat_Click();
    void cmdClearLog_Click();
    void cmdPrintLog_Click();
    void cmdSaveLog_Click();
    void mnuAbout_Click();
    void mnuAfsluiten_Click();

private:
    template<typename Control, typename Signal, typename Receiver>
    void runsInTurn(
        Control* control, Signal clicked, Receiver* receiver, void (Receiver::*command)());
    void bindPortBox();
    void showFailure(const Failure& failure);
    void showStorageFailure(const Failure& failure);
    void setWebStatus(const QString& richText);

    ServerState& m_state;
    SlotArray& m_server;
    FormControls m_form;
    LogExport m_logExport;
    QLabel* m_webStatus = nullptr;
    std::function<void()> m_endProgram;
};
