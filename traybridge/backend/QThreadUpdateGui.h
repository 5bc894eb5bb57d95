#pragma once

#include <QThread>

// Update heartbeat: asks for a tray refresh every 1000 ms, from the start of
// the thread until the process ends.
class QThreadUpdateGui : public QThread
{
    Q_OBJECT
public:
    static constexpr int periodMs = 1000;

    explicit QThreadUpdateGui(QObject* parent = nullptr);
    // Ends the loop and waits for it, so that the object can go while the thread runs.
    ~QThreadUpdateGui() override;

signals:
    void signal_update_tree();

protected:
    void run() override;

private:
    void execute();
};
