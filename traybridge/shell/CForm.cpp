#include "CForm.h"

#include "Autostart.h"
#include "CRegedit.h"
#include "CTreeModel.h"
#include "DebugPrefix.h"
#include "DesktopOpen.h"
#include "ElevatedRun.h"
#include "LogFile.h"
#include "ProcessExit.h"
#include "QThreadExecuteUtil.h"
#include "QThreadProcessChecker.h"
#include "QThreadUpdateGui.h"

#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QMenu>
#include <QSettings>
#include <QUrl>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

// The tray images are compiled into the library; the window needs them before
// main gets to register them itself (registering twice is harmless).
static void initShellResources()
{
    Q_INIT_RESOURCE(shell);
}

namespace {

#ifdef Q_OS_WIN
const char ctlrunnerFileName[] = "/ctlrunner.exe";
#else
const char ctlrunnerFileName[] = "/ctlrunner";
#endif

// Reads a settings value whose absence ends the program; the reader reports it.
std::string readSettingOrExit(const char* name)
{
    std::string value;
    if (!CRegedit::ReadPathInstallClient(name, value))
        tb::endProcess(1);
    return value;
}

// Stops a worker thread on a regular shutdown. A thread that does not end on
// request is left to end with the process, detached from the window.
void stopThread(QThread* thread, QObject* window)
{
    if (!thread || !thread->isRunning())
        return;
    thread->requestInterruption();
    thread->quit();
    if (!thread->wait(1000)) {
        QObject::disconnect(thread, nullptr, window, nullptr);
        thread->setParent(nullptr);
    }
}

// The user's choices of the tray menu.
QSettings userSettings()
{
    return QSettings(QStringLiteral("traybridge"), QStringLiteral("traybridge"));
}

const char notificationsKey[] = "tray/show_notifications";

} // namespace

CForm::CForm() : QDialog(nullptr), m_server(nullptr)
{
    initShellResources();

    for (const char* name : {"path_stable_difusson_bat", "path_python_progress_bar", "path_python_tcp_server",
                             "path_qt_systray_gui", "path_python"})
        readSettingOrExit(name);

    createIconTable();
    createActions();
    createTrayIcon();

    connect(iconComboBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &CForm::setIcon);
    connect(trayIcon, &QSystemTrayIcon::messageClicked, this, &CForm::messageClicked);
    connect(trayIcon, &QSystemTrayIcon::activated, this, &CForm::iconActivated);
    connect(trayIconMenu, &QMenu::aboutToShow, this, &CForm::refresh_menu_checks);
    connect(&m_server, &CTcpServer::signal_image_saved, this, &CForm::image_saved);
    connect(&m_server, &CTcpServer::signal_generation_failed, this, &CForm::generation_failed);

    trayIcon->setVisible(true);
    iconComboBox->setCurrentIndex(2);

    m_updateThread = new QThreadUpdateGui(this);
    m_utilThread = new QThreadExecuteUtil(this);
    m_checkerThread = new QThreadProcessChecker(nullptr);
    connect(m_updateThread, &QThreadUpdateGui::signal_update_tree, this, &CForm::onSignal_update_tree);
    connect(m_utilThread, &QThreadExecuteUtil::signal_get_stable_diffusion_progress_bar, this,
            &CForm::get_stable_diffusion_progress_bar);
    connect(m_checkerThread, &QThreadProcessChecker::signal_cinema_4D_doesnt_work, this,
            &CForm::cinema_4D_doesnt_work);

    std::srand(static_cast<unsigned>(std::time(nullptr)));
    m_instanceNumber = std::rand() % 1000000;
}

CForm::~CForm()
{
    stopThread(m_updateThread, this);
    stopThread(m_utilThread, this);
    stopThread(m_checkerThread, this);
    // The watcher has no parent: freed here once it has ended, else left to the process.
    if (m_checkerThread && !m_checkerThread->isRunning())
        delete m_checkerThread;
}

void CForm::createIconTable()
{
    iconComboBox = new QComboBox(this);
    iconComboBox->addItem(QIcon(QStringLiteral(":/images/icons8-3-100.png")), tr("stablediffusion"));
    iconComboBox->addItem(QIcon(QStringLiteral(":/images/icons8-6-100.png")), tr("stablediffusion"));
    iconComboBox->addItem(QIcon(QStringLiteral(":/images/cpu.png")), tr("stablediffusion is not running"));
    iconComboBox->addItem(QIcon(QStringLiteral(":/images/icons8-AI-60.png")), tr("stablediffusion launched"));
}

void CForm::createActions()
{
    stopAction = new QAction(tr("stop stablediffusion"), this);
    connect(stopAction, &QAction::triggered, this, &CForm::request_stop_stablediffusion);

    startAction = new QAction(tr("start stablediffusion"), this);
    connect(startAction, &QAction::triggered, this, &CForm::start_stablediffusion);

    quitAction = new QAction(tr("&Quit"), this);
    connect(quitAction, &QAction::triggered, this, &CForm::exit_quit);

    imagesAction = new QAction(tr("Open images folder"), this);
    connect(imagesAction, &QAction::triggered, this, &CForm::open_images_folder);

    logAction = new QAction(tr("Open log file"), this);
    connect(logAction, &QAction::triggered, this, &CForm::open_log_file);

    autostartAction = new QAction(tr("Start at login"), this);
    autostartAction->setCheckable(true);
    autostartAction->setChecked(Autostart::isEnabled());
    connect(autostartAction, &QAction::triggered, this, &CForm::set_start_at_login);

    notificationsAction = new QAction(tr("Show notifications"), this);
    notificationsAction->setCheckable(true);
    notificationsAction->setChecked(userSettings().value(QLatin1String(notificationsKey), true).toBool());
    connect(notificationsAction, &QAction::triggered, this, &CForm::set_show_notifications);
}

void CForm::createTrayIcon()
{
    trayIconMenu = new QMenu(this);
    trayIconMenu->addAction(stopAction);
    trayIconMenu->addAction(startAction);
    trayIconMenu->addSeparator();
    trayIconMenu->addAction(imagesAction);
    trayIconMenu->addAction(logAction);
    trayIconMenu->addSeparator();
    trayIconMenu->addAction(autostartAction);
    trayIconMenu->addAction(notificationsAction);
    trayIconMenu->addSeparator();
    trayIconMenu->addAction(quitAction);

    trayIcon = new QSystemTrayIcon(this);
    trayIcon->setContextMenu(trayIconMenu);
}

QString CForm::ctlrunnerPath()
{
    return QCoreApplication::applicationDirPath() + QLatin1String(ctlrunnerFileName);
}

QString CForm::imagesFolder()
{
    return QDir::homePath() + QStringLiteral("/Documents/AI_TEXTURES/FULL_RES");
}

void CForm::ContinueInit()
{
    tb::shortPrefix(qDebug(), "ContinueInit", "]");
    m_updateThread->start(QThread::InheritPriority);
    m_utilThread->start(QThread::InheritPriority);
    m_checkerThread->start(QThread::InheritPriority);
}

void CForm::update_tree()
{
    TB_TIMED;
    const CTreeModel model = m_server.update_tree_model();
    startAction->setEnabled(model.is_start_enabled());
    stopAction->setEnabled(model.is_stop_enabled());
    iconComboBox->setCurrentIndex(model.icon_index());

    // The web UI's coming and going, from the last liveness probe; not
    // before the first probe has answered.
    const bool reachable = !model.is_stable_diffusion_not_work();
    if (m_webUiReachable < 0) {
        if (reachable)
            notifyWebUiChange(true);
    } else if (reachable != (m_webUiReachable == 1)) {
        notifyWebUiChange(reachable);
    }
    if (m_webUiReachable >= 0 || reachable)
        m_webUiReachable = reachable ? 1 : 0;
}

void CForm::setIcon(int index)
{
    TB_SHORT("] : index=") << index;
    trayIcon->setIcon(iconComboBox->itemIcon(index));
    trayIcon->setToolTip(iconComboBox->itemText(index));
}

void CForm::onSignal_update_tree()
{
    update_tree();
}

void CForm::messageClicked()
{
    TB_SHORT("] : ");
    update_tree();
    if (!m_balloonFolder.isEmpty()) {
        const QString folder = m_balloonFolder;
        m_balloonFolder.clear();
        DesktopOpen::open(QUrl::fromLocalFile(folder));
    }
}

void CForm::showMessage()
{
    TB_SHORT("] : ");
    update_tree();
    messageBody = QStringLiteral("BUILD:13.02.2024 1451| process ID: '%1'").arg(m_instanceNumber);
    m_balloonFolder.clear();
    trayIcon->showMessage(tr("Status:"), messageBody, QSystemTrayIcon::Information, 15000);
}

void CForm::iconActivated(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        TB_SHORT("] : QSystemTrayIcon::Trigger");
        showMessage();
        break;
    case QSystemTrayIcon::DoubleClick:
        TB_SHORT("] : QSystemTrayIcon::DoubleClick");
        break;
    case QSystemTrayIcon::MiddleClick:
        TB_SHORT("] : QSystemTrayIcon::MiddleClick");
        break;
    default:
        break; // the context menu opens by itself
    }
}

void CForm::start_stablediffusion()
{
    TB_SHORT("] : ");
    iconComboBox->setCurrentIndex(0);
    startAction->setEnabled(false);
    const std::string path = readSettingOrExit("path_stable_difusson_bat");
    m_server.start_stablediffusion(QString::fromLocal8Bit(path.c_str()));
}

void CForm::request_stop_stablediffusion()
{
    TB_SHORT("] : ");
    m_server.set_process_start_stable(false);

    const QString program = QDir::toNativeSeparators(ctlrunnerPath());
    const std::vector<std::string> arguments{"SIGNAL_STOP"};

    ElevatedRun run;
    if (!run.start(program.toStdString(), arguments)) {
        qDebug() << "Ошибка запуска процесса:" << run.lastError();
        if (run.refused())
            notify(tr("Stop failed"),
                   tr("Permission to stop the web UI was refused (error %1).").arg(run.lastError()),
                   QSystemTrayIcon::Warning);
        else
            notify(tr("Stop failed"),
                   tr("The stop tool could not be started (error %1): %2").arg(run.lastError()).arg(program),
                   QSystemTrayIcon::Warning);
        return;
    }
    qDebug() << "Процесс успешно запущен.";
    if (!run.hasProcess())
        return;
    run.wait();
    unsigned long exitCode = 0;
    if (run.exitCode(exitCode)) {
        qDebug() << "Процесс завершился с кодом возврата:" << exitCode;
        if (exitCode == 0)
            iconComboBox->setCurrentIndex(2);
        else
            notify(tr("Stop failed"), tr("The stop tool ended with exit code %1.").arg(exitCode),
                   QSystemTrayIcon::Warning);
    } else {
        qDebug() << "Ошибка получения кода возврата процесса:" << run.lastError();
        notify(tr("Stop failed"),
               tr("The stop tool's exit code cannot be read (error %1).").arg(run.lastError()),
               QSystemTrayIcon::Warning);
    }
    run.close();
}

void CForm::get_stable_diffusion_progress_bar()
{
    m_server.get_stable_diffusion_progress_bar();
}

void CForm::hide_icon()
{
    TB_SHORT("]: ");
    trayIcon->setVisible(false);
}

void CForm::cinema_4D_doesnt_work()
{
    TB_TIMED;
    request_stop_stablediffusion();
    hide_icon();
    tb::endProcess(0);
}

void CForm::exit_quit()
{
    request_stop_stablediffusion();
    tb::endProcess(0);
}

void CForm::open_images_folder()
{
    const QString folder = imagesFolder();
    QDir().mkpath(folder);
    TB_SHORT("] : ") << folder;
    if (!DesktopOpen::open(QUrl::fromLocalFile(folder)))
        notify(tr("Cannot open the images folder"), folder, QSystemTrayIcon::Warning);
}

void CForm::open_log_file()
{
    const QString path = LogFile::path().isEmpty() ? LogFile::defaultPath() : LogFile::path();
    TB_SHORT("] : ") << path;
    if (!QFileInfo::exists(path) || !DesktopOpen::open(QUrl::fromLocalFile(path)))
        notify(tr("Cannot open the log file"), path, QSystemTrayIcon::Warning);
}

void CForm::set_start_at_login(bool enabled)
{
    TB_SHORT("] : ") << enabled;
    QString error;
    if (!Autostart::setEnabled(enabled, &error)) {
        TB_SHORT("] : ") << error;
        notify(enabled ? tr("Start at login not turned on") : tr("Start at login not turned off"), error,
               QSystemTrayIcon::Warning);
    }
    autostartAction->setChecked(Autostart::isEnabled());
}

void CForm::set_show_notifications(bool enabled)
{
    TB_SHORT("] : ") << enabled;
    QSettings settings = userSettings();
    settings.setValue(QLatin1String(notificationsKey), enabled);
    settings.sync();
}

void CForm::refresh_menu_checks()
{
    autostartAction->setChecked(Autostart::isEnabled());
    TB_SHORT("] : start at login:") << autostartAction->isChecked()
                                    << "show notifications:" << notificationsAction->isChecked();
}

void CForm::image_saved(QString save_file)
{
    notify(tr("Image saved"), tr("%1\nClick to open the images folder.").arg(QFileInfo(save_file).fileName()),
           QSystemTrayIcon::Information, QFileInfo(save_file).absolutePath());
}

void CForm::generation_failed(QString err_text)
{
    notify(tr("Generation failed"), err_text, QSystemTrayIcon::Warning);
}

void CForm::notifyWebUiChange(bool reachable)
{
    if (reachable)
        notify(tr("Web UI running"), tr("The web UI answers."), QSystemTrayIcon::Information);
    else
        notify(tr("Web UI gone"), tr("The web UI no longer answers."), QSystemTrayIcon::Warning);
}

void CForm::notify(const QString& title, const QString& text, QSystemTrayIcon::MessageIcon icon,
                   const QString& folder)
{
    if (!notificationsAction->isChecked()) {
        TB_SHORT("] : not shown, notifications are off:") << title << text;
        return;
    }
    TB_SHORT("] : ") << title << text;
    m_balloonFolder = folder;
    trayIcon->showMessage(title, text, icon, 10000);
}
