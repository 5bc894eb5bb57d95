#include "CStableDiffusionManger.h"

#include "DebugPrefix.h"
#include "UserPaths.h"
#include "UtilityManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <string>

int launch_counter = 1;

CStableDiffusionManger::CStableDiffusionManger()
    : m_stablediffusion_status(QStringLiteral("m_stablediffusion_status->don't INIT"))
{
    TB_TIMED << "Create! ";
}

void CStableDiffusionManger::start_stablediffusion(QString path)
{
    TB_TIMED;
    // The launch thread appends the script's output to the start log.
    m_thread =
        std::thread(static_cast<void (*)(const std::string&, const QString&)>(&UtilityManager::startUtility),
                    path.toUtf8().toStdString(), startLogPath());
    m_thread.detach();
    m_tree_model.setIs_launch_process(true);
    m_tree_model.setIs_start_enabled(false);
}

void CStableDiffusionManger::set_process_start_stable(bool bVal)
{
    TB_TIMED << "bVal=" << bVal;
    m_tree_model.setIs_launch_process(bVal);
}

void CStableDiffusionManger::set_status_is_stable_diffusion_run(bool run)
{
    m_tree_model.setIs_stable_diffusion_not_work(!run);
}

CTreeModel CStableDiffusionManger::update_tree_model()
{
    if (m_tree_model.is_launch_process()) {
        m_tree_model.setIs_stop_enabled(true);
        m_tree_model.setIs_start_enabled(false);
        ++launch_counter;
        m_tree_model.setIcon_index(launch_counter % 2 == 0 ? 1 : 0);

        if (countRuntimeErrors() > 1) {
            qDebug() << " AHTUNG ЧТО-ТО СЛОМАЛОСЬ";
            launch_counter = 1;
            m_tree_model.setStatus(QStringLiteral("STABLE_DIFFUSION_RUNTIME_ERRORS"));
            m_tree_model.setIs_launch_process(false);
        } else if (m_tree_model.is_stable_diffusion_not_work()) {
            m_tree_model.setStatus(QStringLiteral("%1 : %2")
                                       .arg(QStringLiteral("STABLE_DIFFUSION_LAUNCH_PROCESS"))
                                       .arg(launch_counter));
        } else {
            launch_counter = 1;
            m_tree_model.setStatus(QStringLiteral("STABLE_DIFFUSION_START_END"));
            m_tree_model.setIs_launch_process(false);
        }
    } else if (m_tree_model.is_stable_diffusion_not_work()) {
        TB_TIMED << "STABLE_DIFFUSION_NOT_WORK";
        m_tree_model.setStatus(QStringLiteral("STABLE_DIFFUSION_NOT_WORK"));
        m_tree_model.setIcon_index(2);
        m_tree_model.setIs_start_enabled(true);
        m_tree_model.setIs_stop_enabled(false);
    } else {
        m_tree_model.setStatus(QStringLiteral("STABLE_DIFFUSION_WORK"));
        m_tree_model.setIs_start_enabled(false);
        m_tree_model.setIs_stop_enabled(true);
        m_tree_model.setIcon_index(3);
    }
    return m_tree_model;
}

QString CStableDiffusionManger::get_stablediffusion_status()
{
    return m_stablediffusion_status;
}

namespace {

QString chooseStartLogPath()
{
    const QString appDir = QCoreApplication::applicationDirPath();
    bool beside = QFileInfo(appDir).isWritable();
#ifndef Q_OS_WIN
    // Program folders under /usr belong to the system, also for root.
    if (appDir == QLatin1String("/usr") || appDir.startsWith(QLatin1String("/usr/")))
        beside = false;
#endif
    if (beside)
        return appDir + QStringLiteral("/start.log");
    const QString dir = UserPaths::stateDir();
    QDir().mkpath(dir);
    return dir + QStringLiteral("/start.log");
}

} // namespace

QString CStableDiffusionManger::startLogPath()
{
    static const QString path = chooseStartLogPath();
    qDebug() << path;
    return path;
}

QString startLogPath()
{
    return CStableDiffusionManger::startLogPath();
}

int countRuntimeErrors()
{
    QFile file(startLogPath());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    QTextStream in(&file);
    int count = 0;
    while (!in.atEnd()) {
        if (in.readLine().contains(QLatin1String("RuntimeError")))
            ++count;
    }
    file.close();
    return count;
}
