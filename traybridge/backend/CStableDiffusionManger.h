#pragma once

#include "CTreeModel.h"

#include <QString>
#include <thread>

// Counts the status updates of the launch being followed.
extern int launch_counter;

// What the tray program knows about the web UI: whether a launch is being
// followed and whether the web UI answered the last liveness probe. Lives on
// the GUI thread.
class CStableDiffusionManger
{
public:
    CStableDiffusionManger();

    void start_stablediffusion(QString path);
    void set_process_start_stable(bool bVal);
    void set_status_is_stable_diffusion_run(bool run);
    CTreeModel update_tree_model();
    QString get_stablediffusion_status();

    // The web UI's start log: beside the executable when that folder is
    // writable (a portable install, the Windows installer's folder), otherwise
    // (an install under /usr, or a folder the user cannot write) in the user's
    // state folder. Decided once per process, so every reader and writer uses
    // the same file.
    static QString startLogPath();

private:
    std::thread m_thread;
    QString m_stablediffusion_status;
    CTreeModel m_tree_model;
};

// Same as CStableDiffusionManger::startLogPath().
QString startLogPath();
// Lines of the start log that contain "RuntimeError"; -1 when it cannot be opened.
int countRuntimeErrors();
