#include "CStableDiffusionManger.h"

#include <QCoreApplication>

int launch_counter = 1;

CStableDiffusionManger::CStableDiffusionManger()
    : m_stablediffusion_status(QStringLiteral("m_stablediffusion_status->don't INIT"))
{
}

void CStableDiffusionManger::start_stablediffusion(QString path)
{
    (void)path;
}

void CStableDiffusionManger::set_process_start_stable(bool bVal)
{
    m_tree_model.setIs_launch_process(bVal);
}

void CStableDiffusionManger::set_status_is_stable_diffusion_run(bool run)
{
    m_tree_model.setIs_stable_diffusion_not_work(!run);
}

CTreeModel CStableDiffusionManger::update_tree_model()
{
    return m_tree_model;
}

QString CStableDiffusionManger::get_stablediffusion_status()
{
    return m_stablediffusion_status;
}

QString startLogPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/start.log");
}

int countRuntimeErrors()
{
    return -1;
}
