// The two heartbeat threads: their period, the queued delivery to the GUI
// thread, and the liveness heartbeat's settings reads that never stop it.
#include "CRegedit.h"
#include "MessageCapture.h"
#include "QThreadExecuteUtil.h"
#include "QThreadUpdateGui.h"
#include "SettingsReporter.h"
#include "SettingsStore.h"

#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class TestHeartbeats : public QObject
{
    Q_OBJECT

private slots:
    void period_data();
    void period();
    void livenessHeartbeatRunsOnAfterFailedReads();
};

namespace {

// Starts the heartbeat named by kind; connects its signal to onBeat (direct,
// from the heartbeat thread) and to onGuiBeat (automatic, so queued to this thread).
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
    auto thread = std::make_unique<QThreadExecuteUtil>();
    QObject::connect(thread.get(), &QThreadExecuteUtil::signal_get_stable_diffusion_progress_bar, onBeat);
    QObject::connect(thread.get(), &QThreadExecuteUtil::signal_get_stable_diffusion_progress_bar, context,
                     onGuiBeat);
    thread->start(QThread::InheritPriority);
    return thread;
}

} // namespace

void TestHeartbeats::period_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("periodMs");

    QTest::newRow("update heartbeat") << "update" << 1000;
    QTest::newRow("liveness heartbeat") << "liveness" << 3000;
}

void TestHeartbeats::period()
{
    QFETCH(QString, kind);
    QFETCH(int, periodMs);

    QTemporaryDir root; // an empty store: the liveness reads fail
    qputenv("TRAYBRIDGE_REGISTRY_ROOT", QFile::encodeName(root.path()));

    QMutex mutex;
    QList<qint64> beats; // clock readings, taken in the heartbeat thread as it emits
    int guiBeats = 0;
    bool allOnGuiThread = true;
    QElapsedTimer clock;
    clock.start();
    std::unique_ptr<QThread> heartbeat = startHeartbeat(
        kind, this,
        [&] {
            QMutexLocker lock(&mutex);
            beats.append(clock.elapsed());
        },
        [&] {
            ++guiBeats;
            allOnGuiThread = allOnGuiThread && QThread::currentThread() == thread();
        });

    QTRY_VERIFY_WITH_TIMEOUT(guiBeats >= 2, 10 * periodMs + 10000);
    heartbeat.reset(); // the thread stops and is waited for
    QVERIFY(allOnGuiThread);

    QMutexLocker lock(&mutex);
    // Nothing before one period has passed, and never faster than the period:
    // beat k comes no earlier than k periods after the start.
    for (int i = 0; i < beats.size(); ++i)
        QVERIFY2(beats[i] >= (i + 1) * qint64(periodMs),
                 qPrintable(QStringLiteral("beat %1 at %2 ms").arg(i).arg(beats[i])));
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
    QCOMPARE(log.readAll(), QByteArray("information\tError!\tError, not found <path_python_progress_bar> in "
                                       "<SOFTWARE\\\\Cinema4DPluginSettings>\n"));

    CRegedit::setReporter(nullptr);
    qunsetenv("TRAYBRIDGE_BOX_LOG");
    qunsetenv("TRAYBRIDGE_REGISTRY_ROOT");
}

QTEST_MAIN(TestHeartbeats)
#include "tst_heartbeats.moc"
