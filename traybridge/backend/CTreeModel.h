#pragma once

#include <QString>

// Status record of the web UI, copied out whole by the status manager.
class CTreeModel
{
public:
    QString status() const { return m_status; }
    void setStatus(const QString& status) { m_status = status; }

    bool is_stop_enabled() const { return m_is_stop_enabled; }
    void setIs_stop_enabled(bool value) { m_is_stop_enabled = value; }

    bool is_start_enabled() const { return m_is_start_enabled; }
    void setIs_start_enabled(bool value) { m_is_start_enabled = value; }

    bool is_launch_process() const { return m_is_launch_process; }
    void setIs_launch_process(bool value) { m_is_launch_process = value; }

    int icon_index() const { return m_icon_index; }
    void setIcon_index(int value) { m_icon_index = value; }

    bool is_stable_diffusion_not_work() const { return m_is_stable_diffusion_not_work; }
    void setIs_stable_diffusion_not_work(bool value);

private:
    QString m_status;
    bool m_is_stop_enabled = false;
    bool m_is_start_enabled = false;
    bool m_is_launch_process = false;
    int m_icon_index = 1;
    bool m_is_stable_diffusion_not_work = true;
};
