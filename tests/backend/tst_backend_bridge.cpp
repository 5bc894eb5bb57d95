// The plug-in's web UI requests over TCP against a real settings store: the
// start request runs the batch file the store names, and the status requests
// are answered from the status model.
#include "CRegedit.h"
#include "CStableDiffusionManger.h"
#include "CTcpServer.h"
#include "MessageCapture.h"
#include "PluginRequest.h"
#include "RelocatedTestMain.h"
#include "SettingsReporter.h"
#include "SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <memory>

namespace {

constexpr int waitMs = 20000;

// Sends the request on a connection of its own and waits for the whole reply,
// which may come in pieces.
#define EXPECT_REPLY(request, expected)                                                                      \
    do {                                                                                                     \
        PluginRequest plugin(request);                                                                       \
        QTRY_COMPARE_WITH_TIMEOUT(plugin.reply, QByteArray(expected), waitMs);                               \
    } while (false)

QByteArray launchText(int n)
{
    return "STABLE_DIFFUSION_LAUNCH_PROCESS : " + QByteArray::number(n);
}

} // namespace

class TestBackendBridge : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void runRequestStartsTheBatchFileAndStatusFollows();
    void runtimeErrorsEndTheLaunchForThePlugin();

private:
    void writeStartLog(const QByteArray& content);

    QTemporaryDir m_dir;
    QString m_script;
    QString m_marker;
    std::unique_ptr<CTcpServer> m_server;
};

void TestBackendBridge::initTestCase()
{
    QVERIFY(m_dir.isValid());
    qputenv("TRAYBRIDGE_REGISTRY_ROOT", QFile::encodeName(m_dir.filePath(QStringLiteral("registry"))));
    qputenv("TRAYBRIDGE_BOX_LOG", QFile::encodeName(m_dir.filePath(QStringLiteral("boxes.log"))));
    installSettingsReporter();

    // The web UI's launch script, in a folder with a blank in its name; it
    // leaves its arguments and working folder in a marker file.
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("Stable Diffusion")));
    m_script = m_dir.filePath(QStringLiteral("Stable Diffusion/webui-user.sh"));
    m_marker = m_dir.filePath(QStringLiteral("Stable Diffusion/launched"));
    QFile script(m_script);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\necho \"started with $# arguments\" > '" + QFile::encodeName(m_marker) +
                 "'\necho 'Running on local URL'\n");
    script.close();
    QVERIFY(script.setPermissions(script.permissions() | QFileDevice::ExeOwner));

    // The settings store as an installer fills it.
    QVERIFY(SettingsStore::write(m_dir.filePath(QStringLiteral("registry")),
                                 QStringLiteral("path_stable_difusson_bat"), QFile::encodeName(m_script)));

    writeStartLog("1");
    m_server = std::make_unique<CTcpServer>();
    QVERIFY(m_server->isListening());
}

void TestBackendBridge::cleanupTestCase()
{
    m_server.reset();
    CRegedit::setReporter(nullptr);
}

void TestBackendBridge::writeStartLog(const QByteArray& content)
{
    QFile log(startLogPath());
    QVERIFY(log.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(log.write(content), content.size());
}

void TestBackendBridge::runRequestStartsTheBatchFileAndStatusFollows()
{
    launch_counter = 1;
    MessageCapture capture;

    EXPECT_REPLY("REQUEST_TO_RUN_RUNBAT", QByteArray("OK_RECOV_START_TCP_SEVER"));
    // The script ran, without arguments, and the launcher saw it end well.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_marker), waitMs);
    QTRY_VERIFY_WITH_TIMEOUT(capture.contains(QStringLiteral("End BEFORE EXIT run utilityPath= ") + m_script),
                             waitMs);
    QFile marker(m_marker);
    QVERIFY(marker.open(QIODevice::ReadOnly));
    QCOMPARE(marker.readAll(), QByteArray("started with 0 arguments\n"));
    QCOMPARE(capture.count(QStringLiteral(R"(Ret.first:  0 Ret.second:  "Running on local URL\n")")), 1);
    QCOMPARE(capture.count(QStringLiteral("AHTUNG RUN utilityPath=")), 0);
    QCOMPARE(capture.count(QStringLiteral("key:  path_stable_difusson_bat = ") + m_script), 1);

    // Every status request advances the followed launch.
    EXPECT_REPLY("MSG_IS_STABLEDIFFUSION_RUNNING", launchText(2));
    EXPECT_REPLY("MSG_GET_STATUS_LOAD_STABLEDIFFUSION", "RESPONSE_STATUS_LOAD" + launchText(3));
    EXPECT_REPLY("REQUEST_STATUS_RUNBAT", QByteArray("m_stablediffusion_status->don't INIT"));
    QCOMPARE(m_server->update_tree_model().status().toUtf8(), launchText(4)); // the tray's refresh counts too

    // The web UI answers a probe: the launch ends once, then the web UI works.
    m_server->set_status_is_stable_diffusion_run(true);
    EXPECT_REPLY("MSG_IS_STABLEDIFFUSION_RUNNING", QByteArray("STABLE_DIFFUSION_START_END"));
    EXPECT_REPLY("MSG_IS_STABLEDIFFUSION_RUNNING", QByteArray("STABLE_DIFFUSION_WORK"));
    QCOMPARE(launch_counter, 1);

    // No box was raised on the way.
    QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("boxes.log"))));
}

void TestBackendBridge::runtimeErrorsEndTheLaunchForThePlugin()
{
    m_server->set_status_is_stable_diffusion_run(false);
    EXPECT_REPLY("MSG_IS_STABLEDIFFUSION_RUNNING", QByteArray("STABLE_DIFFUSION_NOT_WORK"));

    MessageCapture capture;
    QFile::remove(m_marker);
    EXPECT_REPLY("REQUEST_TO_RUN_RUNBAT", QByteArray("OK_RECOV_START_TCP_SEVER"));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_marker), waitMs);
    EXPECT_REPLY("MSG_IS_STABLEDIFFUSION_RUNNING", launchText(2));

    writeStartLog("RuntimeError: first\nRuntimeError: second\n");
    EXPECT_REPLY("MSG_GET_STATUS_LOAD_STABLEDIFFUSION",
                 QByteArray("RESPONSE_STATUS_LOADSTABLE_DIFFUSION_RUNTIME_ERRORS"));
    QCOMPARE(capture.lines().count(QStringLiteral(" AHTUNG ЧТО-ТО СЛОМАЛОСЬ")), 1);
    EXPECT_REPLY("MSG_IS_STABLEDIFFUSION_RUNNING", QByteArray("STABLE_DIFFUSION_NOT_WORK"));
    QTRY_VERIFY_WITH_TIMEOUT(capture.contains(QStringLiteral("End BEFORE EXIT run utilityPath= ") + m_script),
                             waitMs);
    writeStartLog("1");
}

TB_RELOCATED_TEST_MAIN(TestBackendBridge)
#include "tst_backend_bridge.moc"
