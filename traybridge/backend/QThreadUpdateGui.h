#pragma once

#include <QThread>

// Update heartbeat: asks for a tray refresh every 1000 ms, from the start of
// the thread until it is asked to stop. Between beats the thread sleeps in its
// event loop.
class QThreadUpdateGui : public QThread
{
    Q_OBJECT
public:
    static constexpr int periodMs = 1000;

    explicit QThreadUpdateGui(QObject* parent = nullptr);
    // Stops the loop and waits for it, so that the object can go while the thread runs.
    ~QThreadUpdateGui() override;

    // Ends the loop at once, from any thread. requestInterruption() alone ends
    // it at the next beat, without that beat.
    void request_stop();

signals:
    void signal_update_tree();

protected:
    void run() override;

private:
    void execute();
};
