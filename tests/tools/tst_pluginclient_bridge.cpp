// plugin-client against the real bridge server (in this process) and the
// stand-in web UI: the replies it prints, and a whole text-to-image round trip
// with each of its endings.

#include "CTcpServer.h"
#include "ClientRun.h"
#include "FakeWebUi.h"

#include <QImage>
#include <QtTest>

class TestPluginClientBridge : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void commands_data();
    void commands();
    void generate_data();
    void generate();

private:
    QTemporaryDir m_home;
    QTemporaryDir m_registry;
    std::unique_ptr<CTcpServer> m_server;
    FakeWebUi m_webUi;
};

void TestPluginClientBridge::initTestCase()
{
    QVERIFY(m_home.isValid());
    QVERIFY(m_registry.isValid());
    qputenv("HOME", m_home.path().toLocal8Bit());
    qputenv("TRAYBRIDGE_REGISTRY_ROOT", m_registry.path().toLocal8Bit());
    qputenv("TRAYBRIDGE_BOX_LOG", m_home.filePath(QStringLiteral("boxes.log")).toLocal8Bit());
}

void TestPluginClientBridge::init()
{
    m_server = std::make_unique<CTcpServer>();
    QVERIFY(m_server->isListening());
}

void TestPluginClientBridge::cleanup()
{
    m_webUi.stop();
    if (m_server) {
        QTRY_COMPARE_WITH_TIMEOUT(m_server->clientCount(), 0, 10000);
        m_server.reset();
    }
}

void TestPluginClientBridge::commands_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("ping") << QStringList{"ping"} << QByteArray("traybridge is running\n") << 0;
    QTest::newRow("status") << QStringList{"status"} << QByteArray("m_stablediffusion_status->don't INIT\n")
                            << 0;
    QTest::newRow("is-running") << QStringList{"is-running"} << QByteArray("STABLE_DIFFUSION_NOT_WORK\n")
                                << 0;
    QTest::newRow("load-status") << QStringList{"load-status"} << QByteArray("STABLE_DIFFUSION_NOT_WORK\n")
                                 << 0;
    QTest::newRow("get-load-status") << QStringList{"get-load-status"}
                                     << QByteArray("STABLE_DIFFUSION_NOT_WORK\n") << 0;
    QTest::newRow("skip") << QStringList{"skip"} << QByteArray("skip requested\n") << 0;
    QTest::newRow("unrecognised request")
        << QStringList{"raw", "MSG_PING_SYSTRAY_GUI x"} << QByteArray() << 7;
}

void TestPluginClientBridge::commands()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, out);
    QFETCH(int, exitCode);

    const ClientRun run = ClientRun::run(args);
    QVERIFY(run.finished);
    QCOMPARE(run.out, out);
    QCOMPARE(run.exitCode, exitCode);
}

void TestPluginClientBridge::generate_data()
{
    QTest::addColumn<bool>("webUi");
    QTest::addColumn<QStringList>("webUiArgs");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("stored") << true << QStringList() << 0 << QByteArray();
    QTest::newRow("web UI not running")
        << false << QStringList() << 4 << QByteArray("the web UI does not answer");
    QTest::newRow("web UI fails the request")
        << true << QStringList{"--fault", "txt2img:error500"} << 5 << QByteArray("generation failed: ");
}

void TestPluginClientBridge::generate()
{
    QFETCH(bool, webUi);
    QFETCH(QStringList, webUiArgs);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);

    if (webUi)
        QVERIFY2(m_webUi.start(QStringList{"--step-delay", "0.05"} + webUiArgs), qPrintable(m_webUi.error()));
    const ClientRun run =
        ClientRun::run({"generate", "--prompt", "a mossy brick wall", "--width", "64", "--height", "48",
                        "--steps", "30", "--seed", "7", "--timeout", "30"});
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, exitCode);
    QStringList lines = QString::fromUtf8(run.out).split(QLatin1Char('\n'));
    QCOMPARE(lines.takeLast(), QString()); // every line is ended
    if (exitCode != 0) {
        QVERIFY2(run.err.startsWith("plugin-client: " + message), run.err.constData());
        return;
    }

    QCOMPARE(run.err, QByteArray());
    const QString path = lines.takeLast();
    QVERIFY2(!lines.isEmpty(), "no progress before the path");
    for (const QString& line : lines)
        QVERIFY2(QRegularExpression(QStringLiteral("^progress [0-9.e+-]+$")).match(line).hasMatch(),
                 qPrintable(line));
    QCOMPARE(QFileInfo(path).absolutePath(),
             m_home.filePath(QStringLiteral("Documents/AI_TEXTURES/FULL_RES")));
    const QImage image(path);
    QCOMPARE(image.size(), QSize(64, 48));
}

QTEST_MAIN(TestPluginClientBridge)
#include "tst_pluginclient_bridge.moc"
