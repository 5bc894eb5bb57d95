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
    // The image store's folder of PNG files: Documents/AI_TEXTURES/FULL_RES under the home folder.
    static QString imagesFolder();

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

    // Menu entries beyond the status actions.
    void open_images_folder();
    void open_log_file();
    void set_start_at_login(bool enabled);
    void set_show_notifications(bool enabled);
    void refresh_menu_checks();
    // Notifications from the bridge server.
    void image_saved(QString save_file);
    void generation_failed(QString err_text);

private:
    // A balloon for an event, when notifications are on; a click on a balloon
    // with a folder opens that folder.
    void notify(const QString& title, const QString& text, QSystemTrayIcon::MessageIcon icon,
                const QString& folder = QString());
    void notifyWebUiChange(bool reachable);
    void createIconTable();
    void createActions();
    void createTrayIcon();

    QComboBox* iconComboBox = nullptr;
    QAction* stopAction = nullptr;
    QAction* startAction = nullptr;
    QAction* quitAction = nullptr;
    QAction* imagesAction = nullptr;
    QAction* logAction = nullptr;
    QAction* autostartAction = nullptr;
    QAction* notificationsAction = nullptr;
    QSystemTrayIcon* trayIcon = nullptr;
    QMenu* trayIconMenu = nullptr;
    CTcpServer m_server;
    QString messageBody;
    QThreadUpdateGui* m_updateThread = nullptr;
    QThreadExecuteUtil* m_utilThread = nullptr;
    QThreadProcessChecker* m_checkerThread = nullptr;
    int m_instanceNumber = 0;
    // What the last refresh saw of the web UI: -1 not yet probed, 0 gone, 1 reachable.
    int m_webUiReachable = -1;
    // The folder a click on the current balloon opens; empty for other balloons.
    QString m_balloonFolder;
};
