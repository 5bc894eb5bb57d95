// A web UI started from a start script that runs its server in the foreground
// and never returns, as the web UI's own scripts do: the real launcher, the
// stand-in web UI as the script's child and the bridge server with its status
// model, over TCP.
#include "CRegedit.h"
#include "CStableDiffusionManger.h"
#include "CTcpServer.h"
#include "MessageCapture.h"
#include "PluginRequest.h"
#include "RelocatedTestMain.h"
#include "SettingsReporter.h"
#include "SettingsStore.h"
#include "UtilityManager.h"

#include <QDir>
#include <QFile>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <memory>

namespace {

constexpr int waitMs = 30000;
// The launcher's wait in this test, in place of the program's 30 s.
constexpr int launcherWaitMs = 1500;

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool webUiAnswers()
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, 7860);
    return socket.waitForConnected(2000);
}

} // namespace

class TestForegroundScript : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();
    void webUiOutlivesTheLaunchersWait_data();
    void webUiOutlivesTheLaunchersWait();

private:
    QTemporaryDir m_dir;
    QString m_pidFile;
    std::unique_ptr<CTcpServer> m_server;
};

void TestForegroundScript::initTestCase()
{
    QVERIFY(m_dir.isValid());
    qputenv("TRAYBRIDGE_REGISTRY_ROOT", QFile::encodeName(m_dir.filePath(QStringLiteral("registry"))));
    qputenv("TRAYBRIDGE_BOX_LOG", QFile::encodeName(m_dir.filePath(QStringLiteral("boxes.log"))));
    qputenv("HOME", QFile::encodeName(m_dir.path()));
    installSettingsReporter();
    UtilityManager::setWaitForTests(launcherWaitMs);
    m_pidFile = m_dir.filePath(QStringLiteral("script.pid"));
    QVERIFY2(!webUiAnswers(), "port 7860 is taken");
    m_server = std::make_unique<CTcpServer>();
    QVERIFY(m_server->isListening());
}

void TestForegroundScript::cleanupTestCase()
{
    m_server.reset();
    CRegedit::setReporter(nullptr);
}

// Ends the script and its web UI: the script leads a session and process group of its own.
void TestForegroundScript::cleanup()
{
    const pid_t script = readFile(m_pidFile).trimmed().toInt();
    QFile::remove(m_pidFile);
    if (script > 0) {
        ::kill(-script, SIGTERM);
        QTRY_VERIFY_WITH_TIMEOUT(::kill(script, 0) == -1 && errno == ESRCH, waitMs);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!webUiAnswers(), waitMs);
    m_server->set_process_start_stable(false);
}

void TestForegroundScript::webUiOutlivesTheLaunchersWait_data()
{
    QTest::addColumn<bool>("writesStartLog"); // the script sends the server's output to the start log itself
    QTest::addColumn<int>("runtimeErrors");   // RuntimeError tracebacks the server prints as it starts
    QTest::addColumn<QString>("status");

    QTest::newRow("web UI works") << false << 0 << "STABLE_DIFFUSION_WORK";
    QTest::newRow("script writes the start log itself") << true << 0 << "STABLE_DIFFUSION_WORK";
    QTest::newRow("two runtime errors") << false << 2 << "STABLE_DIFFUSION_RUNTIME_ERRORS";
    QTest::newRow("two runtime errors, script writes the start log")
        << true << 2 << "STABLE_DIFFUSION_RUNTIME_ERRORS";
    QTest::newRow("one runtime error does not end the launch") << false << 1 << "STABLE_DIFFUSION_WORK";
}

void TestForegroundScript::webUiOutlivesTheLaunchersWait()
{
    QFETCH(bool, writesStartLog);
    QFETCH(int, runtimeErrors);
    QFETCH(QString, status);

    // The start script: starts the web UI (its request log on, so that a closed
    // output would break it) and waits on it.
    const QString script = m_dir.filePath(QStringLiteral("webui.sh"));
    QFile file(script);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    const QByteArray redirect =
        writesStartLog ? " >>'" + QFile::encodeName(startLogPath()) + "' 2>&1" : QByteArray();
    file.write("#!/bin/sh\necho $$ >'" + QFile::encodeName(m_pidFile) +
               "'\necho 'Launching Web UI'\npython3 '" +
               QFile::encodeName(qEnvironmentVariable("TB_SOURCE_DIR")) +
               "/tools/fakewebui/fakewebui.py' --step-delay 0.01 --startup-runtime-errors " +
               QByteArray::number(runtimeErrors) + redirect + " &\nwait $!\n");
    file.close();
    QVERIFY(file.setPermissions(file.permissions() | QFileDevice::ExeOwner));
    QVERIFY(SettingsStore::write(m_dir.filePath(QStringLiteral("registry")),
                                 QStringLiteral("path_stable_difusson_bat"), QFile::encodeName(script)));
    QFile log(startLogPath());
    QVERIFY(log.open(QIODevice::WriteOnly | QIODevice::Truncate));
    log.write("1");
    log.close();

    // The web UI is down, and the status model knows it before the launch.
    m_server->get_stable_diffusion_progress_bar();
    QTRY_COMPARE_WITH_TIMEOUT(m_server->update_tree_model().status(),
                              QStringLiteral("STABLE_DIFFUSION_NOT_WORK"), waitMs);

    MessageCapture capture;
    {
        PluginRequest run("REQUEST_TO_RUN_RUNBAT");
        QTRY_COMPARE_WITH_TIMEOUT(run.reply, QByteArray("OK_RECOV_START_TCP_SEVER"), waitMs);
    }
    // The launcher's wait runs out while the script still runs: it is left running.
    QTRY_VERIFY_WITH_TIMEOUT(capture.contains(QStringLiteral("End BEFORE EXIT run utilityPath= ") + script),
                             waitMs);
    QCOMPARE(capture.count(QStringLiteral("still running after %1 ms, left running").arg(launcherWaitMs)), 1);
    QCOMPARE(capture.count(QStringLiteral("AHTUNG RUN utilityPath=")), 0);
    const pid_t scriptPid = readFile(m_pidFile).trimmed().toInt();
    QVERIFY(scriptPid > 0);
    QCOMPARE(::kill(scriptPid, 0), 0);

    // The liveness heartbeat, faster than the program's 3 s.
    QTimer heartbeat;
    connect(&heartbeat, &QTimer::timeout, m_server.get(), &CTcpServer::get_stable_diffusion_progress_bar);
    heartbeat.start(100);
    // Every update advances the model, and the two ending texts are given once.
    QStringList seen;
    QTRY_VERIFY_WITH_TIMEOUT((seen << m_server->update_tree_model().status()).contains(status), waitMs);
    // Until then the launch was followed without a break.
    for (const QString& before : seen.mid(0, seen.indexOf(status)))
        QVERIFY2(before.startsWith(QLatin1String("STABLE_DIFFUSION_LAUNCH_PROCESS : ")) ||
                     before == QLatin1String("STABLE_DIFFUSION_START_END"),
                 qPrintable(seen.join(", ")));

    // The web UI's own output reaches the start log, whoever writes it there.
    const QByteArray startLog = readFile(startLogPath());
    QVERIFY2(startLog.startsWith("1"), startLog.constData());
    QVERIFY2(startLog.contains("fakewebui: serving on http://127.0.0.1:7860"), startLog.constData());
    QCOMPARE(startLog.count("Launching Web UI"), 1);
    QCOMPARE(
        QString::fromUtf8(startLog).split(QLatin1Char('\n')).filter(QStringLiteral("RuntimeError")).size(),
        runtimeErrors);
    if (status != QLatin1String("STABLE_DIFFUSION_WORK"))
        return;

    // Long after the launcher's wait, the web UI still answers: the plug-in sees
    // it working, and a prompt completes.
    {
        PluginRequest ask("MSG_IS_STABLEDIFFUSION_RUNNING");
        QTRY_COMPARE_WITH_TIMEOUT(ask.reply, QByteArray("STABLE_DIFFUSION_WORK"), waitMs);
    }
    PluginRequest prompt("prompt:" +
                         QByteArray(R"({"prompt":"moss","width":8,"height":8,"steps":20})").toBase64());
    QTRY_VERIFY_WITH_TIMEOUT(prompt.reply.contains("IMAGE_SAVED_SUCCESSFULLY: "), waitMs);
    const QByteArray saved = prompt.reply.mid(prompt.reply.indexOf("IMAGE_SAVED_SUCCESSFULLY: ") + 26);
    QVERIFY2(QFile::exists(QString::fromUtf8(saved.left(saved.indexOf(".png") + 4))),
             prompt.reply.constData());
    // The server's request log went on reaching the start log after the wait.
    QTRY_VERIFY_WITH_TIMEOUT(readFile(startLogPath()).contains("POST /sdapi/v1/txt2img"), waitMs);
}

TB_RELOCATED_TEST_MAIN(TestForegroundScript)
#include "tst_foreground_script.moc"
