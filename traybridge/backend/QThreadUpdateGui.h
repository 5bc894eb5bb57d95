#pragma once

#include <QThread>

// Update heartbeat: asks for a tray refresh every 1000 ms.
class QThreadUpdateGui : public QThread
{
    Q_OBJECT
public:
    explicit QThreadUpdateGui(QObject* parent = nullptr);

signals:
    void signal_update_tree();

protected:
    void run() override;

private:
    void execute();
};
