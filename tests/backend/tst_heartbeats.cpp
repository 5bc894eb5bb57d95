// The two heartbeat threads and the Cinema 4D watcher: their periods, that
// they sleep between beats, that a stop is prompt, the queued delivery to the
// GUI thread, and the liveness heartbeat's settings reads that never stop it.
#include "CRegedit.h"
#include "MessageCapture.h"
#include "QThreadExecuteUtil.h"
#include "QThreadProcessChecker.h"
#include "QThreadUpdateGui.h"
#include "SettingsReporter.h"
#include "SettingsStore.h"

#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

class TestHeartbeats : public QObject
{
    Q_OBJECT

private slots:
    void period_data();
    void period();
    void stopIsPrompt_data();
    void stopIsPrompt();
    void livenessHeartbeatRunsOnAfterFailedReads();
};

namespace {

// The watcher has no signal per check; its beats are the debug lines of its checks.
std::function<void()> g_onWatcherCheck;
QMutex g_watcherMutex;
QtMessageHandler g_previousHandler = nullptr;

void watcherLines(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (message.contains(QStringLiteral("Cinema 4D.exe"))) {
        QMutexLocker lock(&g_watcherMutex);
        if (g_onWatcherCheck)
            g_onWatcherCheck();
    }
    if (g_previousHandler)
        g_previousHandler(type, context, message);
}

// Voluntary context switches of the calling thread: how often it went to sleep.
qint64 voluntarySwitches()
{
    QFile status(QStringLiteral("/proc/thread-self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("voluntary_ctxt_switches:"))
            return line.mid(int(qstrlen("voluntary_ctxt_switches:"))).trimmed().toLongLong();
    return -1;
}

// Starts the heartbeat named by kind ("update", "liveness" or "watcher");
// calls onBeat in the heartbeat thread at every beat (for the watcher, every
// check), and connects the signal to onGuiBeat (automatic, so queued to this thread).
template <typename OnBeat, typename OnGuiBeat>
std::unique_ptr<QThread> startHeartbeat(const QString& kind, QObject* context, OnBeat onBeat,
                                        OnGuiBeat onGuiBeat)
{
    if (kind == QLatin1String("update")) {
        auto thread = std::make_unique<QThreadUpdateGui>();
        QObject::connect(thread.get(), &QThreadUpdateGui::signal_update_tree, onBeat);
        QObject::connect(thread.get(), &QThreadUpdateGui::signal_update_tree, context, onGuiBeat);
        thread->start(QThread::InheritPriority);
        return thread;
    }
    if (kind == QLatin1String("watcher")) {
        {
            QMutexLocker lock(&g_watcherMutex);
            g_onWatcherCheck = onBeat;
        }
        auto thread = std::make_unique<QThreadProcessChecker>();
        QObject::connect(thread.get(), &QThreadProcessChecker::signal_cinema_4D_doesnt_work, context,
                         onGuiBeat);
        thread->start(QThread::InheritPriority);
        return thread;
    }
    auto thread = std::make_unique<QThreadExecuteUtil>();
    QObject::connect(thread.get(), &QThreadExecuteUtil::signal_get_stable_diffusion_progress_bar, onBeat);
    QObject::connect(thread.get(), &QThreadExecuteUtil::signal_get_stable_diffusion_progress_bar, context,
                     onGuiBeat);
    thread->start(QThread::InheritPriority);
    return thread;
}

// Asks the heartbeat to stop as a clean shutdown does.
void requestStop(const QString& kind, QThread* thread)
{
    if (kind == QLatin1String("update"))
        static_cast<QThreadUpdateGui*>(thread)->request_stop();
    else if (kind == QLatin1String("watcher"))
        static_cast<QThreadProcessChecker*>(thread)->request_stop();
    else
        static_cast<QThreadExecuteUtil*>(thread)->request_stop();
}

struct WatcherHook
{
    WatcherHook() { g_previousHandler = qInstallMessageHandler(watcherLines); }
    ~WatcherHook()
    {
        qInstallMessageHandler(g_previousHandler);
        QMutexLocker lock(&g_watcherMutex);
        g_onWatcherCheck = nullptr;
    }
};

} // namespace

void TestHeartbeats::period_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("periodMs");

    QTest::newRow("update heartbeat") << "update" << 1000;
    QTest::newRow("liveness heartbeat") << "liveness" << 3000;
    QTest::newRow("Cinema 4D watcher") << "watcher" << 5000;
}

void TestHeartbeats::period()
{
    QFETCH(QString, kind);
    QFETCH(int, periodMs);

    QTemporaryDir root; // an empty store: the liveness reads fail
    qputenv("TRAYBRIDGE_REGISTRY_ROOT", QFile::encodeName(root.path()));
    WatcherHook hook;

    QMutex mutex;
    QList<qint64> beats;    // clock readings, taken in the heartbeat thread as it emits
    QList<qint64> switches; // the heartbeat thread's voluntary context switches at each beat
    int guiBeats = 0;
    bool allOnGuiThread = true;
    QElapsedTimer clock;
    clock.start();
    std::unique_ptr<QThread> heartbeat = startHeartbeat(
        kind, this,
        [&] {
            const qint64 now = clock.elapsed();
            const qint64 slept = voluntarySwitches();
            QMutexLocker lock(&mutex);
            beats.append(now);
            switches.append(slept);
        },
        [&] {
            ++guiBeats;
            allOnGuiThread = allOnGuiThread && QThread::currentThread() == thread();
        });

    if (kind == QLatin1String("watcher")) {
        const auto checks = [&] {
            QMutexLocker lock(&mutex);
            return beats.size();
        };
        QTRY_VERIFY_WITH_TIMEOUT(checks() >= 2, 10 * periodMs + 10000);
        QCOMPARE(guiBeats, 0); // Cinema 4D never ran here
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(guiBeats >= 2, 10 * periodMs + 10000);
    }
    heartbeat.reset(); // the thread stops and is waited for
    QVERIFY(allOnGuiThread);

    QMutexLocker lock(&mutex);
    // Nothing before one period has passed, and never faster than the period:
    // beat k comes no earlier than k periods after the start.
    for (int i = 0; i < beats.size(); ++i)
        QVERIFY2(beats[i] >= (i + 1) * qint64(periodMs),
                 qPrintable(QStringLiteral("beat %1 at %2 ms").arg(i).arg(beats[i])));
    // Between two beats the thread sleeps through, rather than waking in small steps.
    QVERIFY(switches[0] >= 0);
    QVERIFY2(switches[1] - switches[0] <= 10,
             qPrintable(QStringLiteral("%1 wake-ups between two beats").arg(switches[1] - switches[0])));
    qunsetenv("TRAYBRIDGE_REGISTRY_ROOT");
}

// A stop request ends the thread at once, well within a period, and no beat follows it.
void TestHeartbeats::stopIsPrompt_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("periodMs");
    QTest::addColumn<bool>("afterBeat");

    QTest::newRow("update heartbeat, before the first beat") << "update" << 1000 << false;
    QTest::newRow("update heartbeat, after a beat") << "update" << 1000 << true;
    QTest::newRow("liveness heartbeat, before the first beat") << "liveness" << 3000 << false;
    QTest::newRow("liveness heartbeat, after a beat") << "liveness" << 3000 << true;
    QTest::newRow("watcher, between checks") << "watcher" << 60000 << false;
}

void TestHeartbeats::stopIsPrompt()
{
    QFETCH(QString, kind);
    QFETCH(int, periodMs);
    QFETCH(bool, afterBeat);

    QTemporaryDir root;
    qputenv("TRAYBRIDGE_REGISTRY_ROOT", QFile::encodeName(root.path()));
    QThreadProcessChecker::setCheckIntervalForTests(periodMs);
    WatcherHook hook;

    QAtomicInt beats;
    std::unique_ptr<QThread> heartbeat = startHeartbeat(
        kind, this, [&] { beats.ref(); }, [] {});
    QTRY_VERIFY(heartbeat->isRunning());
    if (afterBeat)
        QTRY_VERIFY_WITH_TIMEOUT(beats.loadAcquire() >= 1, 10 * periodMs + 10000);
    const int before = beats.loadAcquire();

    requestStop(kind, heartbeat.get());
    QVERIFY(heartbeat->wait(periodMs / 2));
    QCOMPARE(beats.loadAcquire(), before);

    QThreadProcessChecker::setCheckIntervalForTests(QThreadProcessChecker::checkIntervalMs);
    qunsetenv("TRAYBRIDGE_REGISTRY_ROOT");
}

void TestHeartbeats::livenessHeartbeatRunsOnAfterFailedReads()
{
    QTemporaryDir root;
    QTemporaryDir work;
    // One of the two values is there, the other is missing.
    QVERIFY(SettingsStore::write(root.path(), QStringLiteral("path_python"), "/usr/bin/python3"));
    const QString boxLog = work.filePath(QStringLiteral("boxes.log"));
    qputenv("TRAYBRIDGE_REGISTRY_ROOT", QFile::encodeName(root.path()));
    qputenv("TRAYBRIDGE_BOX_LOG", QFile::encodeName(boxLog));
    installSettingsReporter();

    MessageCapture capture;
    int beats = 0;
    std::unique_ptr<QThread> heartbeat = startHeartbeat(
        QStringLiteral("liveness"), this, [] {}, [&] { ++beats; });
    QTRY_COMPARE_WITH_TIMEOUT(beats, 1, 20000);
    heartbeat.reset();

    // Both reads, in order, with their debug lines; the failed one raised its box
    // through the GUI thread.
    QCOMPARE(
        capture.matching(QStringLiteral("key: ")),
        (QStringList{QStringLiteral("[ static bool CRegedit::ReadPathInstallClient(std::__cxx11::string, "
                                    "std::__cxx11::string&) ] :  key:  path_python_progress_bar = "),
                     QStringLiteral("[ static bool CRegedit::ReadPathInstallClient(std::__cxx11::string, "
                                    "std::__cxx11::string&) ] :  key:  path_python = /usr/bin/python3")}));
    QFile log(boxLog);
    QVERIFY(log.open(QIODevice::ReadOnly));
    // The reader's fixed text, then where the settings were read and how to fill them in.
    const QByteArray box = log.readAll();
    QVERIFY2(box.startsWith("information\tError!\tError, not found <path_python_progress_bar> in "
                            "<SOFTWARE\\\\Cinema4DPluginSettings>\\n\\nSettings read from the folder "),
             box.constData());
    QCOMPARE(box.count('\n'), 1);

    CRegedit::setReporter(nullptr);
    qunsetenv("TRAYBRIDGE_BOX_LOG");
    qunsetenv("TRAYBRIDGE_REGISTRY_ROOT");
}

QTEST_MAIN(TestHeartbeats)
#include "tst_heartbeats.moc"
