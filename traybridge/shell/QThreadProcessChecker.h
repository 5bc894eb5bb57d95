#pragma once

#include <QThread>

// Watcher thread: checks for "Cinema 4D.exe" every 5000 ms and, once it has
// seen it running, reports the first check that no longer finds it. Between
// checks the thread sleeps in its event loop.
class QThreadProcessChecker : public QThread
{
    Q_OBJECT
public:
    static constexpr int checkIntervalMs = 5000;

    explicit QThreadProcessChecker(QObject* parent = nullptr);
    // Stops the watch and waits for it, so that the object can go while the thread runs.
    ~QThreadProcessChecker() override;

    // Ends the watch at once, without the signal, from any thread.
    // requestInterruption() alone ends it at the next check, without that check.
    void request_stop();

    // Test hook: the interval of watchers started from now on. The program
    // always checks every checkIntervalMs.
    static void setCheckIntervalForTests(int ms);

signals:
    void signal_cinema_4D_doesnt_work();

protected:
    void run() override;

private:
    // Returns when Cinema 4D has gone after having been seen, or when a stop
    // is requested (then without the signal).
    void execute();

    bool seenRunning = false;
};
