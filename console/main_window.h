#pragma once

#include "console.h"
#include "relay_engine.h"
#include "server_state.h"

#include <QMainWindow>

#include <functional>
#include <memory>
#include <optional>

class ListBox;
class LogFile;
class LogPrinter;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSettings;
class QTabWidget;
class SaveDialog;
class SlotArray;

// The operator console, frmMain: it owns the server state and the engine,
// shows the state on four tabs, and turns its controls' events into the
// engine's handlers. Its own commands are the smaller ones: clearing,
// saving and printing the log, About, Quit and the linked user lists.
class MainWindow final : public QMainWindow, public Console {
    Q_OBJECT

public:
    explicit MainWindow(SlotArray& server, QWidget* parent = nullptr);
    ~MainWindow() override;

    ServerState& state() { return m_state; }
    void setSaveDialog(std::unique_ptr<SaveDialog> dialog);
    void setPrinter(std::unique_ptr<LogPrinter> printer);
    // What Quit does once slot 0 is closed; ends the process unless replaced.
    void setEndProgram(std::function<void()> endProgram);
    // Keeps the nickname and port of every successful start there, and
    // offers the last one now.
    void rememberStartsIn(QSettings& settings);
    // Puts what is given into the nickname and port boxes, as if typed.
    void offerStart(std::optional<int> port, const std::optional<QString>& nickname);

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

    void cmdStart_Click();
    void cmdClearChat_Click();
    void cmdClearLog_Click();
    void cmdPrintLog_Click();
    void cmdSaveLog_Click();
    void mnuAbout_Click();
    void mnuAfsluiten_Click();
    void Users_Click();
    void Ip_Click();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void createControls();
    void createMenus();
    void setTabOrder();
    void connectHandlers();
    void bindPortBox();
    void mirrorSelection(const ListModel& changed, ListModel& other);
    enum class LogWalk { Done, Cancelled, Failed };
    LogWalk walkLog(const QString& label, const std::function<bool(QByteArrayView)>& take);
    bool commitServing(LogFile& file);
    void showStorageFailure(const QString& reason);

    ServerState m_state;
    SlotArray& m_server;
    RelayEngine m_engine;
    std::unique_ptr<SaveDialog> Bestand;
    std::unique_ptr<LogPrinter> m_printer;
    std::function<void()> m_endProgram;
    QSettings* m_settings = nullptr;
    // A save or print under way: they yield, and one must not start inside another.
    bool m_logBusy = false;

    QTabWidget* Overzicht = nullptr;
    QPushButton* cmdStart = nullptr;
    QPushButton* cmdStop = nullptr;
    QLabel* lblStatus = nullptr;
    QComboBox* cmbPort = nullptr;
    QLineEdit* txtNickname = nullptr;
    ListBox* Log = nullptr;
    QPushButton* cmdSaveLog = nullptr;
    QPushButton* cmdClearLog = nullptr;
    QPushButton* cmdPrintLog = nullptr;
    ListBox* Users = nullptr;
    ListBox* Ip = nullptr;
    ListBox* connection = nullptr;
    QLabel* lblOnline = nullptr;
    ListBox* Messages = nullptr;
    ListBox* Users2 = nullptr;
    QLineEdit* txtMessage = nullptr;
    QPushButton* cmdSend = nullptr;
    QPushButton* cmdClearChat = nullptr;
};
