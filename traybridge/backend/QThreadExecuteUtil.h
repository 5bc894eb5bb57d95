#pragma once

#include <QThread>

// Liveness heartbeat: asks for a probe of the web UI every 3000 ms, from the
// start of the thread until it is asked to stop. Between beats the thread
// sleeps in its event loop.
class QThreadExecuteUtil : public QThread
{
    Q_OBJECT
public:
    static constexpr int periodMs = 3000;

    explicit QThreadExecuteUtil(QObject* parent = nullptr);
    // Stops the loop and waits for it, so that the object can go while the thread runs.
    ~QThreadExecuteUtil() override;

    // Ends the loop at once, from any thread. requestInterruption() alone ends
    // it at the next beat, without that beat.
    void request_stop();

signals:
    void signal_get_stable_diffusion_progress_bar();

protected:
    void run() override;

private:
    void execute();
};
