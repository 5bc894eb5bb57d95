#pragma once

#include <QThread>

// Watcher thread: checks for "Cinema 4D.exe" every 5000 ms and, once it has
// seen it running, reports the first check that no longer finds it.
class QThreadProcessChecker : public QThread
{
    Q_OBJECT
public:
    static constexpr int checkIntervalMs = 5000;

    explicit QThreadProcessChecker(QObject* parent = nullptr);

    // Test hook: the interval of watchers started from now on. The program
    // always checks every checkIntervalMs.
    static void setCheckIntervalForTests(int ms);

signals:
    void signal_cinema_4D_doesnt_work();

protected:
    void run() override;

private:
    // Returns when Cinema 4D has gone after having been seen, or when an
    // interruption is requested (then without the signal).
    void execute();

    bool seenRunning = false;
};
