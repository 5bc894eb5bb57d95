#pragma once

#include "CTcpServer.h"

#include <QDialog>
#include <QString>
#include <QSystemTrayIcon>

class QAction;
class QComboBox;
class QMenu;
class QThreadExecuteUtil;
class QThreadProcessChecker;
class QThreadUpdateGui;

// The tray window: the notification-area icon with its menu and balloon, the
// bridge server, and the three worker threads. The window itself is never
// shown; the current index of its icon table is the tray state.
class CForm : public QDialog
{
    Q_OBJECT
public:
    CForm();
    ~CForm() override;

    // Refreshes the icon and the menu from the backend status record.
    void update_tree();
    // Removes the icon from the notification area.
    void hide_icon();
    // Starts the update, utility and watcher threads.
    void ContinueInit();
    // Drawn once at construction; texts call it the "process ID".
    int instanceNumber() const { return m_instanceNumber; }

    // Where the elevated control tool lies: beside the executable.
    static QString ctlrunnerPath();

private slots:
    void setIcon(int index);
    void iconActivated(QSystemTrayIcon::ActivationReason reason);

public slots:
    // The status balloon.
    void showMessage();

private slots:
    void messageClicked();
    void request_stop_stablediffusion();
    void start_stablediffusion();
    void get_stable_diffusion_progress_bar();
    void cinema_4D_doesnt_work();
    void onSignal_update_tree();
    void exit_quit();

private:
    void createIconTable();
    void createActions();
    void createTrayIcon();

    QComboBox* iconComboBox = nullptr;
    QAction* stopAction = nullptr;
    QAction* startAction = nullptr;
    QAction* quitAction = nullptr;
    QSystemTrayIcon* trayIcon = nullptr;
    QMenu* trayIconMenu = nullptr;
    CTcpServer m_server;
    QString messageBody;
    QThreadUpdateGui* m_updateThread = nullptr;
    QThreadExecuteUtil* m_utilThread = nullptr;
    QThreadProcessChecker* m_checkerThread = nullptr;
    int m_instanceNumber = 0;
};
