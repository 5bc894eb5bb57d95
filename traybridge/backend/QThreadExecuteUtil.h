#pragma once

#include <QThread>

// Liveness heartbeat: asks for a probe of the web UI every 3000 ms.
class QThreadExecuteUtil : public QThread
{
    Q_OBJECT
public:
    explicit QThreadExecuteUtil(QObject* parent = nullptr);

signals:
    void signal_get_stable_diffusion_progress_bar();

protected:
    void run() override;

private:
    void execute();
};
