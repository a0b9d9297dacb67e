#pragma once

class ListBox;
class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QMainWindow;
class QPushButton;
class QTabWidget;
class QWidget;
struct ServerState;

// The controls of the operator console as the form was drawn: their places
// in twips (15 to a pixel at 96 dots per inch), captions and fonts, the names
// that tests and assistive technology know them by, the tab order and the
// menus. The layout does not follow the window's size. The window owns the
// controls; this knows where they are.
struct FormControls {
    FormControls(QMainWindow& window, ServerState& state);

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
    QAction* mnuAfsluiten = nullptr;
    QAction* mnuAbout = nullptr;

private:
    void createControls(QWidget* client, ServerState& state);
    void createMenus(QMainWindow& window);
    void setTabOrder();
};
