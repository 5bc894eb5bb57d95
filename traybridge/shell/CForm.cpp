#include "CForm.h"

#include "CRegedit.h"
#include "CTreeModel.h"
#include "DebugPrefix.h"
#include "ElevatedRun.h"
#include "ProcessExit.h"
#include "QThreadExecuteUtil.h"
#include "QThreadProcessChecker.h"
#include "QThreadUpdateGui.h"

#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QIcon>
#include <QMenu>

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
}

void CForm::createTrayIcon()
{
    trayIconMenu = new QMenu(this);
    trayIconMenu->addAction(stopAction);
    trayIconMenu->addAction(startAction);
    trayIconMenu->addSeparator();
    trayIconMenu->addAction(quitAction);

    trayIcon = new QSystemTrayIcon(this);
    trayIcon->setContextMenu(trayIconMenu);
}

QString CForm::ctlrunnerPath()
{
    return QCoreApplication::applicationDirPath() + QLatin1String(ctlrunnerFileName);
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
}

void CForm::showMessage()
{
    TB_SHORT("] : ");
    update_tree();
    messageBody = QStringLiteral("BUILD:13.02.2024 1451| process ID: '%1'").arg(m_instanceNumber);
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
    } else {
        qDebug() << "Ошибка получения кода возврата процесса:" << run.lastError();
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
