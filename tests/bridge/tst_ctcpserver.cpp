// Drives CTcpServer with real TCP clients on loopback, and the fatal paths in a
// child process (bridge_test_host).

#include "CStableDiffusionManger.h"
#include "CTcpServer.h"
#include "MessageCapture.h"
#include "OpenFilesLimit.h"
#include "SettingsStore.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

const QString kRead = QStringLiteral("void CTcpServer::handleReadyRead(QTcpSocket*)");
const QString kTime = QStringLiteral("<time>");
const QString kAddr = QStringLiteral("<addr>");

// One diagnostic line as a pattern: QDebug joins the pieces with one blank.
// kTime and kAddr stand for the build time and a pointer.
QString linePattern(const QStringList& pieces)
{
    QStringList parts;
    for (const QString& piece : pieces) {
        if (piece == kTime)
            parts << QStringLiteral("\\d\\d:\\d\\d:\\d\\d");
        else if (piece == kAddr)
            parts << QStringLiteral("(0x[0-9a-f]+)");
        else
            parts << QRegularExpression::escape(piece);
    }
    return QLatin1Char('^') + parts.join(QLatin1Char(' ')) + QLatin1Char('$');
}

QString shortLine(const QString& function, const QString& closing, const QStringList& rest = {})
{
    return linePattern(QStringList{QStringLiteral("["), function, closing} + rest);
}

QString timedLine(const QString& function, const QStringList& rest = {})
{
    return linePattern(
        QStringList{QStringLiteral("["), kTime, QStringLiteral("]["), function, QStringLiteral("] :")} +
        rest);
}

// How QDebug writes a text value (quoted, escaped).
QString quoted(const QString& text)
{
    QString out;
    QDebug(&out).nospace() << text;
    return out;
}

QString quoted(const QByteArray& bytes)
{
    QString out;
    QDebug(&out).nospace() << bytes;
    return out;
}

QString plain(double value)
{
    QString out;
    QDebug(&out).nospace() << value;
    return out;
}

// Captured lines that match the pattern.
QStringList linesMatching(const MessageCapture& capture, const QString& pattern)
{
    const QRegularExpression rx(pattern);
    QStringList found;
    for (const QString& line : capture.lines()) {
        if (rx.match(line).hasMatch())
            found << line;
    }
    return found;
}

// A plug-in stand-in: connects, sends its request in one write and collects
// everything the server sends back.
class Client : public QObject
{
public:
    explicit Client(const QByteArray& request = QByteArray(),
                    const QHostAddress& host = QHostAddress::LocalHost,
                    const QHostAddress& from = QHostAddress())
    {
        connect(&socket, &QTcpSocket::readyRead, this, [this] { data += socket.readAll(); });
        connect(&socket, &QTcpSocket::connected, this, [this] { connected = true; });
        connect(&socket, &QTcpSocket::disconnected, this, [this] { closed = true; });
        connect(&socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
            if (error != QAbstractSocket::RemoteHostClosedError)
                failed = true;
        });
        if (!from.isNull())
            socket.bind(from);
        socket.connectToHost(host, CTcpServer::port);
        if (!request.isNull())
            socket.write(request);
    }

    QTcpSocket socket;
    QByteArray data;
    bool connected = false;
    bool closed = false;
    bool failed = false;
};

constexpr int kWait = 15000;

// Runs the event loop until done() holds or the time is up; true if it holds.
template <typename Done> bool serveUntil(Done done, int ms = kWait)
{
    const QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

// A bridge_test_host child under an open-files limit, its diagnostic lines in a file.
class LimitedHost
{
public:
    LimitedHost(const QString& host, const QString& limits, const QStringList& args, const QString& errFile)
        : m_errFile(errFile)
    {
        process.setStandardErrorFile(errFile);
        process.start(QStringLiteral("prlimit"),
                      QStringList{QStringLiteral("--nofile=") + limits, host} + args);
    }
    ~LimitedHost()
    {
        process.kill();
        process.waitForFinished(kWait);
    }

    // Waits for a line of its standard output.
    bool waitFor(const QByteArray& line)
    {
        return serveUntil([&] {
                   m_out += process.readAllStandardOutput();
                   return m_out.contains(line + '\n') || process.state() == QProcess::NotRunning;
               }) &&
               m_out.contains(line + '\n');
    }

    int countInErr(const QByteArray& text) const
    {
        QFile file(m_errFile);
        if (!file.open(QIODevice::ReadOnly))
            return 0;
        return file.readAll().count(text);
    }

    // The soft and hard open-files limits in force, as /proc shows them.
    QString openFilesLimits() const
    {
        QFile limits(QStringLiteral("/proc/%1/limits").arg(process.processId()));
        if (!limits.open(QIODevice::ReadOnly))
            return QString();
        for (const QByteArray& line : limits.readAll().split('\n')) {
            if (line.startsWith("Max open files"))
                return QString::fromLatin1(line.mid(26).simplified());
        }
        return QString();
    }

    QProcess process;

private:
    QString m_errFile;
    QByteArray m_out;
};

} // namespace

class TestCTcpServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void loopbackRule_data();
    void loopbackRule();
    void requestReplies_data();
    void requestReplies();
    void promptPayloads_data();
    void promptPayloads();
    void runBatchFileRequestStartsTheBatchFile();
    void loopbackPeersAreServed_data();
    void loopbackPeersAreServed();
    void badRequestsCloseOnlyTheirConnection_data();
    void badRequestsCloseOnlyTheirConnection();
    void notificationsReachEveryOpenConnection_data();
    void notificationsReachEveryOpenConnection();
    void closedConnectionLeavesTheList();
    void notificationWithoutConnectionsGoesNowhere();
    void connectionLifecycleLines();
    void destructionClosesOpenConnections();
    void nonLoopbackPeerIsRefused_data();
    void nonLoopbackPeerIsRefused();
    void notificationsWaitForTheReply();
    void connectionCapFollowsOpenFilesLimit_data();
    void connectionCapFollowsOpenFilesLimit();
    void connectionCapClosesOldestWaitingFirst();
    void floodsUnderOpenFilesLimitLeaveTheServerUp();
    void descriptorExhaustion_data();
    void descriptorExhaustion();
    void peerThatNeverReadsIsClosed();
    void progressReachesTwoHundredConnections();
    void portTakenEndsWithBoxAndExitCode1();
    void runBatchFileWithoutSettingEndsWithExitCode1();

private:
    void startServer();
    QString hostPath() const;
    QProcessEnvironment hostEnvironment(const QString& boxLog) const;

    QTemporaryDir m_home;
    QTemporaryDir m_registry;
    QString m_boxLog;
    std::unique_ptr<MessageCapture> m_capture;
    std::unique_ptr<CTcpServer> m_server;
};

void TestCTcpServer::initTestCase()
{
    QVERIFY(m_home.isValid());
    QVERIFY(m_registry.isValid());
    qputenv("HOME", m_home.path().toLocal8Bit());
    qputenv("TRAYBRIDGE_REGISTRY_ROOT", m_registry.path().toLocal8Bit());
    m_boxLog = m_home.filePath(QStringLiteral("boxes.log"));
    qputenv("TRAYBRIDGE_BOX_LOG", m_boxLog.toLocal8Bit());
    // The floods below hold hundreds of client sockets in this process.
    QVERIFY(tb::raiseOpenFilesLimit());
}

void TestCTcpServer::init()
{
    m_capture = std::make_unique<MessageCapture>();
}

void TestCTcpServer::cleanup()
{
    CTcpServer::setRequestWaitForTests(CTcpServer::requestWaitMs);
    if (m_server) {
        // The test's clients are gone; let their connections leave before the server does.
        QTRY_COMPARE_WITH_TIMEOUT(m_server->clientCount(), 0, kWait);
        m_server.reset();
    }
    m_capture.reset();
}

void TestCTcpServer::startServer()
{
    m_server = std::make_unique<CTcpServer>();
    QVERIFY(m_server->isListening());
}

QString TestCTcpServer::hostPath() const
{
    return qEnvironmentVariable("TB_BIN_DIR") + QStringLiteral("/bridge_test_host");
}

QProcessEnvironment TestCTcpServer::hostEnvironment(const QString& boxLog) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TRAYBRIDGE_BOX_LOG"), boxLog);
    return env;
}

void TestCTcpServer::loopbackRule_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("served");

    QTest::newRow("127.0.0.1") << "127.0.0.1" << true;
    QTest::newRow("bottom of 127/8") << "127.0.0.0" << true;
    QTest::newRow("top of 127/8") << "127.255.255.255" << true;
    QTest::newRow("127.10.20.30") << "127.10.20.30" << true;
    QTest::newRow("just below 127/8") << "126.255.255.255" << false;
    QTest::newRow("just above 127/8") << "128.0.0.0" << false;
    QTest::newRow("private LAN") << "192.168.1.20" << false;
    QTest::newRow("10/8") << "10.0.0.1" << false;
    QTest::newRow("IPv4 any") << "0.0.0.0" << false;
    QTest::newRow("IPv6 loopback") << "::1" << true;
    QTest::newRow("IPv6 loopback, long form") << "0:0:0:0:0:0:0:1" << true;
    QTest::newRow("IPv4-mapped loopback") << "::ffff:127.0.0.1" << true;
    QTest::newRow("IPv4-mapped 127/8") << "::ffff:127.200.0.9" << true;
    QTest::newRow("IPv4-mapped LAN") << "::ffff:192.168.1.20" << false;
    QTest::newRow("IPv4-compatible 127.0.0.1 is not loopback") << "::127.0.0.1" << false;
    QTest::newRow("IPv6 any") << "::" << false;
    QTest::newRow("::2") << "::2" << false;
    QTest::newRow("1::1") << "1::1" << false;
    QTest::newRow("link-local") << "fe80::1" << false;
    QTest::newRow("unique local") << "fd00::1" << false;
    QTest::newRow("null address") << "" << false;
}

void TestCTcpServer::loopbackRule()
{
    QFETCH(QString, address);
    QFETCH(bool, served);
    const QHostAddress parsed(address);
    QCOMPARE(parsed.isNull(), address.isEmpty());
    QCOMPARE(CTcpServer::isLoopbackPeer(parsed), served);
}

void TestCTcpServer::requestReplies_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");
    // Patterns of lines the dispatch must write, besides "Received message:".
    QTest::addColumn<QStringList>("lines");

    const QString noStatusLine = shortLine(kRead, QStringLiteral("] : "));
    auto ahtung = [](const QString& message) {
        return shortLine(kRead, QStringLiteral("] : AHTUNG "),
                         {QStringLiteral("Received message:"), quoted(message)});
    };

    QTest::newRow("ping") << QByteArray("MSG_PING_SYSTRAY_GUI") << QByteArray("MSG_PING_SYSTRAY_GUI")
                          << QStringList{noStatusLine};
    QTest::newRow("ping, blanks before, CR LF after")
        << QByteArray("   MSG_PING_SYSTRAY_GUI\r\n") << QByteArray("MSG_PING_SYSTRAY_GUI")
        << QStringList{noStatusLine};
    QTest::newRow("ping, tab, vertical tab, form feed")
        << QByteArray("\t\v\fMSG_PING_SYSTRAY_GUI \n") << QByteArray("MSG_PING_SYSTRAY_GUI")
        << QStringList{noStatusLine};
    QTest::newRow("ping, Unicode spaces")
        << QString(QChar(0x00A0) + QStringLiteral("MSG_PING_SYSTRAY_GUI") + QChar(0x3000) + QChar(0x2003))
               .toUtf8()
        << QByteArray("MSG_PING_SYSTRAY_GUI") << QStringList{noStatusLine};
    QTest::newRow("ping, text after a zero byte is cut")
        << QByteArray("MSG_PING_SYSTRAY_GUI\0garbage", 28) << QByteArray("MSG_PING_SYSTRAY_GUI")
        << QStringList{noStatusLine};
    QTest::newRow("load status, refreshed record")
        << QByteArray("get_load_status") << QByteArray("STABLE_DIFFUSION_NOT_WORK")
        << QStringList{noStatusLine};
    QTest::newRow("batch file status")
        << QByteArray("REQUEST_STATUS_RUNBAT") << QByteArray("m_stablediffusion_status->don't INIT")
        << QStringList{ahtung(QStringLiteral("REQUEST_STATUS_RUNBAT"))};
    QTest::newRow("skip") << QByteArray(" REQUEST_SKIP_GENERATION\n") << QByteArray("OK_SKIP_GENERATION")
                          << QStringList{ahtung(QStringLiteral(" REQUEST_SKIP_GENERATION\n"))};
    QTest::newRow("is running") << QByteArray("MSG_IS_STABLEDIFFUSION_RUNNING")
                                << QByteArray("STABLE_DIFFUSION_NOT_WORK")
                                << QStringList{timedLine(
                                       kRead, {QStringLiteral("[step 2] send: "),
                                               quoted(QStringLiteral("STABLE_DIFFUSION_NOT_WORK"))})};
    QTest::newRow("load status with prefix, no separator")
        << QByteArray("MSG_GET_STATUS_LOAD_STABLEDIFFUSION\r\n")
        << QByteArray("RESPONSE_STATUS_LOADSTABLE_DIFFUSION_NOT_WORK")
        << QStringList{timedLine(
               kRead, {QStringLiteral("send: "), quoted(QStringLiteral("STABLE_DIFFUSION_NOT_WORK"))})};
}

void TestCTcpServer::requestReplies()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, lines);
    startServer();

    Client client(request);
    QTRY_COMPARE_WITH_TIMEOUT(client.data, reply, kWait);
    QVERIFY(!client.closed);

    const QString received = QString::fromUtf8(request.constData());
    QCOMPARE(linesMatching(*m_capture, shortLine(kRead, QStringLiteral("] : "),
                                                 {QStringLiteral("Received message:"), quoted(received)}))
                 .size(),
             1);
    for (const QString& pattern : qAsConst(lines))
        QTRY_COMPARE_WITH_TIMEOUT(linesMatching(*m_capture, pattern).size(), 1, kWait);
    QVERIFY(!m_capture->contains(QStringLiteral("AHTUNG UNKNOW MSG")));
    QCOMPARE(m_server->clientCount(), 1); // answered connections stay open
}

void TestCTcpServer::promptPayloads_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("payload");

    const QByteArray json = QByteArray(R"({"prompt":"a red brick wall, seamless","steps":20,"width":512,)"
                                       R"("height":512,"negative_prompt":"blurry, text"})");
    const QByteArray base64 = json.toBase64();
    QByteArray wrapped; // as a mail encoder would send it: 76 characters per line
    for (int i = 0; i < base64.size(); i += 76)
        wrapped += base64.mid(i, 76) + "\n";
    QVERIFY(base64.size() > 76);

    QTest::newRow("plain") << "prompt:" + base64 << json;
    QTest::newRow("line feeds every 76 characters") << "prompt:" + wrapped << json;
    QTest::newRow("CR LF line ends") << "prompt:" + QByteArray(wrapped).replace("\n", "\r\n") << json;
    QTest::newRow("trailing line feed") << "prompt:" + base64 + "\n" << json;
    QTest::newRow("blanks inside") << "prompt: " + base64.left(8) + " " + base64.mid(8) + " " << json;
    QTest::newRow("text before the mark is ignored") << "plug-in v2 prompt:" + base64 << json;
    QTest::newRow("empty payload") << QByteArray("prompt:") << QByteArray();
    QTest::newRow("empty payload, line feed") << QByteArray("prompt:\n") << QByteArray();
    QTest::newRow("empty object") << QByteArray("prompt:e30=") << QByteArray("{}");
    QTest::newRow("padding left out") << QByteArray("prompt:e30") << QByteArray("{}");
    QTest::newRow("non-ASCII text") << "prompt:" +
                                           QStringLiteral(u"{\"prompt\":\"кирпич\"}").toUtf8().toBase64()
                                    << QStringLiteral(u"{\"prompt\":\"кирпич\"}").toUtf8();
    QTest::newRow("command name before the mark is a prompt")
        << "MSG_PING_SYSTRAY_GUI prompt:" + base64 << json;
    QTest::newRow("only the first mark counts")
        << QByteArray("prompt:e30=prompt:") << QByteArray("{})\xae\x89\xa9");
}

void TestCTcpServer::promptPayloads()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, payload);
    startServer();

    // The payload must reach the server's GUI-thread slot, not just be emitted.
    QList<QByteArray> onGuiThread;
    connect(m_server.get(), &CTcpServer::signal_start_post_request, this,
            [&onGuiThread](const QByteArray& p) { onGuiThread << p; });

    Client client(request);
    const QByteArray started("IMAGE_GENERATION_PROCESS_STARTED");
    // Notifications may follow the reply on the same connection.
    QTRY_VERIFY_WITH_TIMEOUT(client.data.size() >= started.size(), kWait);
    QCOMPARE(client.data.left(started.size()), started);
    QTRY_COMPARE_WITH_TIMEOUT(onGuiThread.size(), 1, kWait);
    QCOMPARE(onGuiThread.first(), payload);

    QCOMPARE(linesMatching(*m_capture, shortLine(kRead, QStringLiteral("] : decodedPayload.QByteArray="),
                                                 {quoted(payload)}))
                 .size(),
             1);
    QCOMPARE(linesMatching(*m_capture,
                           shortLine(kRead, QStringLiteral("] : decodedPayload.toStdString().c_str()="),
                                     {QString::fromUtf8(payload.constData())}))
                 .size(),
             1);
    QCOMPARE(linesMatching(*m_capture, shortLine(kRead, QStringLiteral("] : clientSocket="), {kAddr})).size(),
             1);
    QTRY_COMPARE_WITH_TIMEOUT(
        linesMatching(*m_capture,
                      timedLine(QStringLiteral("void CTcpServer::start_post_request(QByteArray)")))
            .size(),
        1, kWait);
    QVERIFY(!m_capture->contains(QStringLiteral("AHTUNG UNKNOW MSG")));
}

void TestCTcpServer::runBatchFileRequestStartsTheBatchFile()
{
    const QString marker = m_home.filePath(QStringLiteral("batch-ran"));
#ifdef Q_OS_WIN
    const QString script = m_home.filePath(QStringLiteral("webui-user.bat"));
    {
        QFile file(script);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(
            QStringLiteral("@echo ran> \"%1\"\r\n").arg(QDir::toNativeSeparators(marker)).toLocal8Bit());
    }
#else
    const QString script = m_home.filePath(QStringLiteral("webui-user.sh"));
    {
        QFile file(script);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("#!/bin/sh\necho ran > '%1'\n").arg(marker).toUtf8());
        file.close();
        QVERIFY(file.setPermissions(file.permissions() | QFileDevice::ExeOwner));
    }
#endif
    QVERIFY(SettingsStore::write(m_registry.path(), QStringLiteral("path_stable_difusson_bat"),
                                 QFile::encodeName(script)));

    startServer();
    const int counterBefore = launch_counter;
    {
        Client client("REQUEST_TO_RUN_RUNBAT");
        QTRY_COMPARE_WITH_TIMEOUT(client.data, QByteArray("OK_RECOV_START_TCP_SEVER"), kWait);
    }
    QVERIFY(m_capture->contains(
        QStringLiteral("] : 'REQUEST_TO_START_TCP_SEVER' send 'OK_RECOV_START_TCP_SEVER'")));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), kWait);

    // The manager now follows the launch; the plug-in's next status request shows it.
    Client status("MSG_IS_STABLEDIFFUSION_RUNNING");
    QTRY_COMPARE_WITH_TIMEOUT(
        status.data, QStringLiteral("STABLE_DIFFUSION_LAUNCH_PROCESS : %1").arg(counterBefore + 1).toUtf8(),
        kWait);
    QVERIFY(SettingsStore::remove(m_registry.path(), QStringLiteral("path_stable_difusson_bat")));
}

void TestCTcpServer::loopbackPeersAreServed_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("from");

    QTest::newRow("127.0.0.1") << "127.0.0.1"
                               << "";
    QTest::newRow("127.0.0.2 from itself") << "127.0.0.2"
                                           << "127.0.0.2";
    QTest::newRow("::1") << "::1"
                         << "";
    QTest::newRow("IPv4-mapped over IPv6") << "::ffff:127.0.0.1"
                                           << "";
}

void TestCTcpServer::loopbackPeersAreServed()
{
    QFETCH(QString, target);
    QFETCH(QString, from);
    startServer();

    Client client("MSG_PING_SYSTRAY_GUI", QHostAddress(target),
                  from.isEmpty() ? QHostAddress() : QHostAddress(from));
    QTRY_VERIFY_WITH_TIMEOUT(client.connected || client.failed, kWait);
    if (!client.connected)
        QSKIP(
            qPrintable(QStringLiteral("cannot reach %1 here: %2").arg(target, client.socket.errorString())));
    QTRY_COMPARE_WITH_TIMEOUT(client.data, QByteArray("MSG_PING_SYSTRAY_GUI"), kWait);
    QVERIFY(!m_capture->contains(QStringLiteral("not a loopback peer")));
}

void TestCTcpServer::badRequestsCloseOnlyTheirConnection_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("mode"); // "send", "close" (closed before sending), "silent"

    QTest::newRow("garbage") << QByteArray("hello there") << "send";
    QTest::newRow("one stray byte") << QByteArray("x") << "send";
    QTest::newRow("command in lower case") << QByteArray("msg_ping_systray_gui") << "send";
    QTest::newRow("command followed by text") << QByteArray("MSG_PING_SYSTRAY_GUI x") << "send";
    QTest::newRow("prompt mark in upper case") << QByteArray("PROMPT:e30=") << "send";
    QTest::newRow("only white space") << QByteArray(" \r\n\t") << "send";
    QTest::newRow("zero byte first") << QByteArray("\0MSG_PING_SYSTRAY_GUI", 21) << "send";
    QTest::newRow("not UTF-8") << QByteArray("\xff\xfe\xfd") << "send";
    QTest::newRow("closed before sending") << QByteArray() << "close";
    QTest::newRow("silent past the wait") << QByteArray() << "silent";
}

void TestCTcpServer::badRequestsCloseOnlyTheirConnection()
{
    QFETCH(QByteArray, request);
    QFETCH(QString, mode);
    startServer();

    // A connection that is open before the bad one must keep being served.
    Client bystander("MSG_PING_SYSTRAY_GUI");
    QTRY_COMPARE_WITH_TIMEOUT(bystander.data, QByteArray("MSG_PING_SYSTRAY_GUI"), kWait);

    if (mode == QLatin1String("silent"))
        CTcpServer::setRequestWaitForTests(300);
    {
        Client bad(mode == QLatin1String("send") ? request : QByteArray());
        if (mode == QLatin1String("close")) {
            QTRY_VERIFY_WITH_TIMEOUT(bad.connected, kWait);
            bad.socket.disconnectFromHost();
        }
        // The server closes this one connection without a reply.
        QTRY_VERIFY_WITH_TIMEOUT(bad.closed, kWait);
        QCOMPARE(bad.data, QByteArray());
        QVERIFY(!bad.failed);
    }
    QTRY_COMPARE_WITH_TIMEOUT(
        linesMatching(*m_capture, shortLine(kRead, QStringLiteral("] : AHTUNG UNKNOW MSG"))).size(), 1,
        kWait);
    QTRY_COMPARE_WITH_TIMEOUT(m_server->clientCount(), 1, kWait);
    CTcpServer::setRequestWaitForTests(CTcpServer::requestWaitMs);

    Client after("MSG_PING_SYSTRAY_GUI");
    QTRY_COMPARE_WITH_TIMEOUT(after.data, QByteArray("MSG_PING_SYSTRAY_GUI"), kWait);

    m_server->progress_txt2img_for_c4d(0.5);
    QTRY_COMPARE_WITH_TIMEOUT(bystander.data, QByteArray("MSG_PING_SYSTRAY_GUIPROGRESS_TXT2IMG:0.5"), kWait);
    QTRY_COMPARE_WITH_TIMEOUT(after.data, QByteArray("MSG_PING_SYSTRAY_GUIPROGRESS_TXT2IMG:0.5"), kWait);
    QVERIFY(!bystander.closed);
}

void TestCTcpServer::notificationsReachEveryOpenConnection_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<double>("progress");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QStringList>("lines"); // the relay's line, then the line each connection writes

    const QString progressF = QStringLiteral("void CTcpServer::progress_txt2img_for_c4d(double)");
    const QString progressL = QStringLiteral("CTcpServer::progress_txt2img_for_c4d(double)::<lambda()>");
    auto progressRow = [&](const char* name, double value, const char* sent) {
        QTest::newRow(name) << "progress" << value << QString() << QByteArray(sent)
                            << QStringList{
                                   shortLine(progressF, QStringLiteral("] : Start :"), {plain(value)}),
                                   shortLine(progressL, QStringLiteral("] str388 before send <"),
                                             {quoted(QString::fromUtf8(sent)), QStringLiteral(">")})};
    };
    progressRow("progress 0.35", 0.35, "PROGRESS_TXT2IMG:0.35");
    progressRow("progress 1", 1.0, "PROGRESS_TXT2IMG:1");
    progressRow("progress 0", 0.0, "PROGRESS_TXT2IMG:0");
    progressRow("progress 0.00001", 0.00001, "PROGRESS_TXT2IMG:1e-05");
    progressRow("progress, six significant digits", 0.123456789, "PROGRESS_TXT2IMG:0.123457");
    progressRow("progress, trailing zeros dropped", 0.5000001, "PROGRESS_TXT2IMG:0.5");
    progressRow("progress, large", 1234567.0, "PROGRESS_TXT2IMG:1.23457e+06");

    const QString path = QStringLiteral(u"/home/ольга/Documents/AI_TEXTURES/FULL_RES/1718000000123.png");
    QTest::newRow("image saved")
        << "saved" << 0.0 << path << QString(QStringLiteral("IMAGE_SAVED_SUCCESSFULLY: ") + path).toUtf8()
        << QStringList{shortLine(QStringLiteral("void CTcpServer::txt2img_finished_for_c4d(QString)"),
                                 QStringLiteral("] : Start")),
                       shortLine(QStringLiteral("CTcpServer::txt2img_finished_for_c4d(QString)::<lambda()>"),
                                 QStringLiteral("] str372 before send "),
                                 {quoted(QStringLiteral("IMAGE_SAVED_SUCCESSFULLY: ") + path)})};
    const QString error = QStringLiteral(u"Connection refused — «7860»");
    QTest::newRow("error, text unchanged")
        << "error" << 0.0 << error << error.toUtf8()
        << QStringList{shortLine(QStringLiteral("void CTcpServer::progress_txt2img_error(QString)"),
                                 QStringLiteral("] : Start :"), {quoted(error)}),
                       shortLine(QStringLiteral("CTcpServer::progress_txt2img_error(QString)::<lambda()>"),
                                 QStringLiteral("] before send '"), {quoted(error), QStringLiteral("'")})};
}

void TestCTcpServer::notificationsReachEveryOpenConnection()
{
    QFETCH(QString, kind);
    QFETCH(double, progress);
    QFETCH(QString, text);
    QFETCH(QByteArray, sent);
    QFETCH(QStringList, lines);
    startServer();

    Client first("MSG_PING_SYSTRAY_GUI");
    Client second("REQUEST_SKIP_GENERATION");
    QTRY_COMPARE_WITH_TIMEOUT(first.data, QByteArray("MSG_PING_SYSTRAY_GUI"), kWait);
    QTRY_COMPARE_WITH_TIMEOUT(second.data, QByteArray("OK_SKIP_GENERATION"), kWait);
    // A second request on an answered connection is never read.
    first.socket.write("MSG_PING_SYSTRAY_GUI");
    Client probe("MSG_PING_SYSTRAY_GUI");
    QTRY_COMPARE_WITH_TIMEOUT(probe.data, QByteArray("MSG_PING_SYSTRAY_GUI"), kWait);
    QCOMPARE(m_server->clientCount(), 3);

    auto notify = [&] {
        if (kind == QLatin1String("progress"))
            m_server->progress_txt2img_for_c4d(progress);
        else if (kind == QLatin1String("saved"))
            m_server->txt2img_finished_for_c4d(text);
        else
            m_server->progress_txt2img_error(text);
    };
    notify();
    QTRY_COMPARE_WITH_TIMEOUT(first.data, "MSG_PING_SYSTRAY_GUI" + sent, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(second.data, "OK_SKIP_GENERATION" + sent, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(probe.data, "MSG_PING_SYSTRAY_GUI" + sent, kWait);
    QCOMPARE(linesMatching(*m_capture, lines.at(0)).size(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(linesMatching(*m_capture, lines.at(1)).size(), 3, kWait);

    // Back-to-back notifications run together on the wire, in order.
    notify();
    QTRY_COMPARE_WITH_TIMEOUT(first.data, "MSG_PING_SYSTRAY_GUI" + sent + sent, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(second.data, "OK_SKIP_GENERATION" + sent + sent, kWait);
}

void TestCTcpServer::closedConnectionLeavesTheList()
{
    startServer();
    Client staying("MSG_PING_SYSTRAY_GUI");
    auto leaving = std::make_unique<Client>("MSG_PING_SYSTRAY_GUI");
    QTRY_COMPARE_WITH_TIMEOUT(staying.data, QByteArray("MSG_PING_SYSTRAY_GUI"), kWait);
    QTRY_COMPARE_WITH_TIMEOUT(leaving->data, QByteArray("MSG_PING_SYSTRAY_GUI"), kWait);
    QCOMPARE(m_server->clientCount(), 2);

    leaving->socket.disconnectFromHost();
    leaving.reset();
    QTRY_COMPARE_WITH_TIMEOUT(m_server->clientCount(), 1, kWait);
    QCOMPARE(
        linesMatching(*m_capture, shortLine(QStringLiteral("void CTcpServer::handleClientDisconnected()"),
                                            QStringLiteral("] :  clientSocket="), {kAddr}))
            .size(),
        1);

    m_server->progress_txt2img_for_c4d(0.25);
    m_server->txt2img_finished_for_c4d(QStringLiteral("/tmp/a.png"));
    QTRY_COMPARE_WITH_TIMEOUT(
        staying.data,
        QByteArray("MSG_PING_SYSTRAY_GUIPROGRESS_TXT2IMG:0.25IMAGE_SAVED_SUCCESSFULLY: /tmp/a.png"), kWait);
    // One write per remaining connection and notification, none for the gone one.
    QCOMPARE(m_capture->count(QStringLiteral("] str388 before send <")), 1);
    QCOMPARE(m_capture->count(QStringLiteral("] str372 before send ")), 1);
}

void TestCTcpServer::notificationWithoutConnectionsGoesNowhere()
{
    startServer();
    QCOMPARE(m_server->clientCount(), 0);
    m_server->progress_txt2img_for_c4d(0.75);
    m_server->txt2img_finished_for_c4d(QStringLiteral("/tmp/old.png"));
    m_server->progress_txt2img_error(QStringLiteral("old error"));
    QCOMPARE(m_capture->count(QStringLiteral("] : Start")), 3);

    // A later connection gets its reply and later reports only.
    Client late("MSG_PING_SYSTRAY_GUI");
    QTRY_COMPARE_WITH_TIMEOUT(late.data, QByteArray("MSG_PING_SYSTRAY_GUI"), kWait);
    m_server->progress_txt2img_for_c4d(0.8);
    QTRY_COMPARE_WITH_TIMEOUT(late.data, QByteArray("MSG_PING_SYSTRAY_GUIPROGRESS_TXT2IMG:0.8"), kWait);
    QCOMPARE(m_capture->count(QStringLiteral("before send")), 1);
}

void TestCTcpServer::connectionLifecycleLines()
{
    startServer();
    QCOMPARE(linesMatching(*m_capture, shortLine(QStringLiteral("CTcpServer::CTcpServer(QObject*)"),
                                                 QStringLiteral("] : ")))
                 .size(),
             1);

    auto client = std::make_unique<Client>("MSG_PING_SYSTRAY_GUI");
    QTRY_COMPARE_WITH_TIMEOUT(client->data, QByteArray("MSG_PING_SYSTRAY_GUI"), kWait);

    const QString lambda = QStringLiteral("CTcpServer::incomingConnection(qintptr)::<lambda()>");
    const QStringList accepted = linesMatching(
        *m_capture, shortLine(QStringLiteral("virtual void CTcpServer::incomingConnection(qintptr)"),
                              QStringLiteral("] : "), {kAddr, QStringLiteral(" &clientSocket="), kAddr}));
    QCOMPARE(accepted.size(), 1);
    const QStringList order{
        shortLine(lambda, QStringLiteral("] : clientSocket->waitForReadyRead();")),
        shortLine(lambda, QStringLiteral("] : handleReadyRead")),
        shortLine(kRead, QStringLiteral("] : "),
                  {QStringLiteral("Received message:"), quoted(QStringLiteral("MSG_PING_SYSTRAY_GUI"))})};
    // Accept, wait, dispatch: in this order.
    int previous = m_capture->lines().indexOf(accepted.first());
    for (const QString& pattern : order) {
        const QStringList found = linesMatching(*m_capture, pattern);
        QCOMPARE(found.size(), 1);
        const int at = m_capture->lines().indexOf(found.first());
        QVERIFY2(at > previous, qPrintable(pattern));
        previous = at;
    }

    // The socket named at accept time is the one forgotten at disconnect.
    const QString socketAddress = QRegularExpression(QStringLiteral("&clientSocket= (0x[0-9a-f]+)$"))
                                      .match(accepted.first())
                                      .captured(1);
    QVERIFY(!socketAddress.isEmpty());
    client.reset();
    QTRY_COMPARE_WITH_TIMEOUT(m_server->clientCount(), 0, kWait);
    QCOMPARE(
        m_capture->count(QStringLiteral("[ void CTcpServer::handleClientDisconnected() ] :  clientSocket= ") +
                         socketAddress),
        1);
}

void TestCTcpServer::destructionClosesOpenConnections()
{
    startServer();
    Client first("MSG_PING_SYSTRAY_GUI");
    Client second("get_load_status");
    QTRY_COMPARE_WITH_TIMEOUT(first.data, QByteArray("MSG_PING_SYSTRAY_GUI"), kWait);
    QTRY_COMPARE_WITH_TIMEOUT(second.data, QByteArray("STABLE_DIFFUSION_NOT_WORK"), kWait);

    m_server.reset();
    QCOMPARE(linesMatching(*m_capture, shortLine(QStringLiteral("virtual CTcpServer::~CTcpServer()"),
                                                 QStringLiteral("] : &socket="), {kAddr}))
                 .size(),
             2);
    QTRY_VERIFY_WITH_TIMEOUT(first.closed && second.closed, kWait);
    QVERIFY(!first.failed && !second.failed);

    // The port is free again.
    startServer();
}

void TestCTcpServer::nonLoopbackPeerIsRefused_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("cidr");

    QTest::newRow("IPv4") << "192.0.2.7"
                          << "192.0.2.7/32";
    QTest::newRow("IPv6") << "fd00::7"
                          << "fd00::7/128";
}

void TestCTcpServer::nonLoopbackPeerIsRefused()
{
    QFETCH(QString, address);
    QFETCH(QString, cidr);

    // Only inside a network namespace of our own (scripts/isolated), where lo is
    // the only interface, may the test give lo an address.
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& nif : interfaces) {
        if (!nif.flags().testFlag(QNetworkInterface::IsLoopBack))
            QSKIP("needs a private network namespace (run the test through scripts/isolated)");
    }
    const QStringList add{QStringLiteral("addr"), QStringLiteral("add"), cidr, QStringLiteral("dev"),
                          QStringLiteral("lo")};
    QProcess ip;
    ip.start(QStringLiteral("ip"),
             add + (cidr.contains(QLatin1Char(':')) ? QStringList{QStringLiteral("nodad")} : QStringList{}));
    if (!ip.waitForFinished(kWait) || ip.exitStatus() != QProcess::NormalExit || ip.exitCode() != 0)
        QSKIP(qPrintable(QStringLiteral("cannot add %1 to lo here: %2")
                             .arg(cidr, QString::fromLocal8Bit(ip.readAllStandardError()).trimmed())));
    struct Remove
    {
        QString cidr;
        ~Remove()
        {
            QProcess::execute(QStringLiteral("ip"), {QStringLiteral("addr"), QStringLiteral("del"), cidr,
                                                     QStringLiteral("dev"), QStringLiteral("lo")});
        }
    } remove{cidr};

    startServer();
    const QHostAddress outsider(address);
    Client refused("MSG_PING_SYSTRAY_GUI", outsider, outsider);
    QTRY_VERIFY_WITH_TIMEOUT(refused.closed || refused.failed, kWait);
    if (!refused.connected)
        QSKIP(qPrintable(
            QStringLiteral("cannot connect from %1 here: %2").arg(address, refused.socket.errorString())));
    QCOMPARE(refused.data, QByteArray());
    // An IPv4 peer of the dual-stack socket shows in its IPv4-mapped form.
    QString refusal = shortLine(QStringLiteral("virtual void CTcpServer::incomingConnection(qintptr)"),
                                QStringLiteral("] : refused, not a loopback peer:"));
    refusal.chop(1); // the closing "$"
    refusal += QStringLiteral(" \"(::ffff:)?%1\"$").arg(QRegularExpression::escape(address));
    QTRY_COMPARE_WITH_TIMEOUT(linesMatching(*m_capture, refusal).size(), 1, kWait);
    QVERIFY(!m_capture->contains(QStringLiteral("Received message:")));
    QCOMPARE(m_server->clientCount(), 0);

    Client local("MSG_PING_SYSTRAY_GUI");
    QTRY_COMPARE_WITH_TIMEOUT(local.data, QByteArray("MSG_PING_SYSTRAY_GUI"), kWait);
}

void TestCTcpServer::notificationsWaitForTheReply()
{
    startServer();
    Client waiting;
    QTRY_COMPARE_WITH_TIMEOUT(m_server->clientCount(), 1, kWait);
    m_server->progress_txt2img_for_c4d(0.1);
    m_server->progress_txt2img_error(QStringLiteral("poll failed"));
    QVERIFY(!serveUntil([&] { return !waiting.data.isEmpty(); }, 200)); // nothing before the reply

    waiting.socket.write("MSG_PING_SYSTRAY_GUI");
    QTRY_COMPARE_WITH_TIMEOUT(waiting.data, QByteArray("MSG_PING_SYSTRAY_GUIPROGRESS_TXT2IMG:0.1poll failed"),
                              kWait);
}

void TestCTcpServer::connectionCapFollowsOpenFilesLimit_data()
{
    QTest::addColumn<qlonglong>("limit");
    QTest::addColumn<int>("cap");

    QTest::newRow("no limit") << qlonglong(-1) << CTcpServer::maxConnections;
    QTest::newRow("a desktop's 1024") << qlonglong(1024) << 512;
    QTest::newRow("raised limit") << qlonglong(1048576) << CTcpServer::maxConnections;
    QTest::newRow("low limit: half of it") << qlonglong(256) << 128;
    QTest::newRow("odd limit") << qlonglong(101) << 50;
    QTest::newRow("tiny limit") << qlonglong(1) << 1;
}

void TestCTcpServer::connectionCapFollowsOpenFilesLimit()
{
    QFETCH(qlonglong, limit);
    QFETCH(int, cap);
    QCOMPARE(CTcpServer::connectionCapFor(limit), cap);
}

void TestCTcpServer::connectionCapClosesOldestWaitingFirst()
{
    startServer();
    m_server->setConnectionCapForTests(3);
    const QString capLine = QStringLiteral("connection limit reached:");

    auto first = std::make_unique<Client>(); // silent
    QTRY_COMPARE_WITH_TIMEOUT(m_server->clientCount(), 1, kWait);
    Client second; // silent
    QTRY_COMPARE_WITH_TIMEOUT(m_server->clientCount(), 2, kWait);
    Client answered("MSG_PING_SYSTRAY_GUI");
    QTRY_COMPARE_WITH_TIMEOUT(answered.data, QByteArray("MSG_PING_SYSTRAY_GUI"), kWait);
    QVERIFY(!m_capture->contains(capLine));

    // At the cap, the oldest connection still waiting for its request goes.
    Client ping("MSG_PING_SYSTRAY_GUI");
    QTRY_COMPARE_WITH_TIMEOUT(ping.data, QByteArray("MSG_PING_SYSTRAY_GUI"), kWait);
    QTRY_VERIFY_WITH_TIMEOUT(first->closed, kWait);
    QCOMPARE(first->data, QByteArray());
    QVERIFY(!second.closed);
    QCOMPARE(m_capture->count(capLine), 1);

    Client third; // silent: the next oldest waiting one goes
    QTRY_VERIFY_WITH_TIMEOUT(second.closed, kWait);
    QCOMPARE(second.data, QByteArray());
    Client ping2("MSG_PING_SYSTRAY_GUI");
    QTRY_COMPARE_WITH_TIMEOUT(ping2.data, QByteArray("MSG_PING_SYSTRAY_GUI"), kWait);
    QTRY_VERIFY_WITH_TIMEOUT(third.closed, kWait);
    QCOMPARE(m_server->clientCount(), 3);

    // Every connection answered: a new one is closed at once, unread.
    Client refused("MSG_PING_SYSTRAY_GUI");
    QTRY_VERIFY_WITH_TIMEOUT(refused.closed, kWait);
    QCOMPARE(refused.data, QByteArray());
    QTRY_COMPARE_WITH_TIMEOUT(m_capture->count(QStringLiteral("closing the new one")), 1, kWait);
    QCOMPARE(m_capture->count(QStringLiteral("Received message:")), 3);
    QCOMPARE(m_server->clientCount(), 3);

    // The answered connections keep their notifications; a freed place serves again.
    m_server->progress_txt2img_for_c4d(0.5);
    QTRY_COMPARE_WITH_TIMEOUT(answered.data, QByteArray("MSG_PING_SYSTRAY_GUIPROGRESS_TXT2IMG:0.5"), kWait);
    QTRY_COMPARE_WITH_TIMEOUT(ping2.data, QByteArray("MSG_PING_SYSTRAY_GUIPROGRESS_TXT2IMG:0.5"), kWait);
    ping.socket.disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(m_server->clientCount(), 2, kWait);
    Client later("MSG_PING_SYSTRAY_GUI");
    QTRY_COMPARE_WITH_TIMEOUT(later.data, QByteArray("MSG_PING_SYSTRAY_GUI"), kWait);
}

void TestCTcpServer::floodsUnderOpenFilesLimitLeaveTheServerUp()
{
#ifdef Q_OS_WIN
    QSKIP("descriptor limits are a POSIX matter: sockets are handles on Windows");
#endif
    // A soft limit of 256 under a hard one of 1024: the host raises it to 1024,
    // which makes a cap of 512 connections.
    // The silent connections wait for their request for as long as the test runs.
    LimitedHost host(hostPath(), QStringLiteral("256:1024"),
                     {QStringLiteral("--request-wait"), QStringLiteral("600000")},
                     m_home.filePath(QStringLiteral("flood.err")));
    QVERIFY2(host.waitFor("listening"), qPrintable(host.process.errorString()));
    QCOMPARE(host.openFilesLimits(), QStringLiteral("1024 1024 files"));

    // 800 silent connections: the 288 oldest are closed, unread.
    std::vector<std::unique_ptr<Client>> silent;
    // In steps the listening socket's backlog holds, each accepted before the next.
    for (int i = 0; i < 800; ++i) {
        silent.push_back(std::make_unique<Client>());
        if (i % 25 == 24)
            QVERIFY(serveUntil([&] { return host.countInErr("&clientSocket=") == i + 1; }, 60000));
    }
    auto closedCount = [&] {
        int closed = 0;
        for (const auto& client : silent)
            closed += client->closed ? 1 : 0;
        return closed;
    };
    QVERIFY2(serveUntil([&] { return closedCount() >= 800 - 512; }, 60000),
             qPrintable(QString::number(closedCount())));
    QCOMPARE(host.process.state(), QProcess::Running);
    Client ping("MSG_PING_SYSTRAY_GUI");
    QTRY_COMPARE_WITH_TIMEOUT(ping.data, QByteArray("MSG_PING_SYSTRAY_GUI"), kWait);
    QTRY_COMPARE_WITH_TIMEOUT(closedCount(), 800 - 512 + 1, kWait); // the ping took one more place
    for (const auto& client : silent)
        QVERIFY(!client->failed && client->data.isEmpty());

    // 10,000 garbage requests, 64 at a time: each is closed without a reply.
    int started = 0;
    int done = 0;
    std::vector<std::unique_ptr<Client>> garbage;
    const QDeadlineTimer deadline(240000);
    while (done < 10000) {
        while (garbage.size() < 64 && started < 10000) {
            garbage.push_back(std::make_unique<Client>(QByteArray("GET / HTTP/1.0\r\n\r\n")));
            ++started;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        for (auto it = garbage.begin(); it != garbage.end();) {
            if ((*it)->closed || (*it)->failed) {
                QVERIFY((*it)->data.isEmpty());
                QVERIFY(!(*it)->failed);
                it = garbage.erase(it);
                ++done;
            } else {
                ++it;
            }
        }
        QVERIFY2(!deadline.hasExpired(), qPrintable(QString::number(done)));
        QVERIFY(host.process.state() == QProcess::Running);
    }

    Client after("MSG_PING_SYSTRAY_GUI");
    QTRY_COMPARE_WITH_TIMEOUT(after.data, QByteArray("MSG_PING_SYSTRAY_GUI"), kWait);
    QVERIFY(!ping.closed);
    QCOMPARE(host.process.state(), QProcess::Running);
    QVERIFY(host.countInErr("connection limit reached:") >= 800 - 512);
    QCOMPARE(host.countInErr("AHTUNG UNKNOW MSG"), 10000);
}

void TestCTcpServer::descriptorExhaustion_data()
{
    QTest::addColumn<bool>("silentFirst");

    QTest::newRow("a connection waiting for its request makes room") << true;
    QTest::newRow("accepting waits until a connection closes") << false;
}

void TestCTcpServer::descriptorExhaustion()
{
#ifdef Q_OS_WIN
    QSKIP("descriptor limits are a POSIX matter: sockets are handles on Windows");
#endif
    QFETCH(bool, silentFirst);
    // Every descriptor but two is taken: two connections use them up.
    const QString errFile = m_home.filePath(QStringLiteral("exhausted.err"));
    LimitedHost host(hostPath(), QStringLiteral("128:128"),
                     {QStringLiteral("--leave-descriptors"), QStringLiteral("2")}, errFile);
    QVERIFY2(host.waitFor("descriptors taken"), qPrintable(host.process.errorString()));

    auto first = std::make_unique<Client>(silentFirst ? QByteArray() : QByteArray("MSG_PING_SYSTRAY_GUI"));
    if (!silentFirst)
        QTRY_COMPARE_WITH_TIMEOUT(first->data, QByteArray("MSG_PING_SYSTRAY_GUI"), kWait);
    Client second("MSG_PING_SYSTRAY_GUI");
    QTRY_COMPARE_WITH_TIMEOUT(second.data, QByteArray("MSG_PING_SYSTRAY_GUI"), kWait);

    QElapsedTimer exhausted;
    exhausted.start();
    Client third("MSG_PING_SYSTRAY_GUI");
    QVERIFY(serveUntil([&] { return host.countInErr("accept failed:") >= 1; }));
    if (silentFirst) {
        // The waiting connection is closed unread, and its descriptor serves the new one.
        QTRY_VERIFY_WITH_TIMEOUT(first->closed, kWait);
        QCOMPARE(first->data, QByteArray());
        QTRY_COMPARE_WITH_TIMEOUT(third.data, QByteArray("MSG_PING_SYSTRAY_GUI"), kWait);
    } else {
        // Nothing to free: accepting is tried again now and then, never in a busy loop.
        QVERIFY(serveUntil([&] { return host.countInErr("accept failed:") >= 3; }));
        const qint64 elapsed = exhausted.elapsed();
        const int failures = host.countInErr("accept failed:");
        // A busy loop would fail thousands of times; one retry per pause, and one spare, is the bound.
        QVERIFY2(failures <= elapsed / CTcpServer::acceptRetryMs + 2,
                 qPrintable(QStringLiteral("%1 failures in %2 ms").arg(failures).arg(elapsed)));
        QCOMPARE(third.data, QByteArray());
        first->socket.disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(third.data, QByteArray("MSG_PING_SYSTRAY_GUI"), kWait);
    }
    QCOMPARE(host.process.state(), QProcess::Running);
}

void TestCTcpServer::peerThatNeverReadsIsClosed()
{
    startServer();
    Client reader("MSG_PING_SYSTRAY_GUI");
    Client stalled("MSG_PING_SYSTRAY_GUI");
    QTRY_COMPARE_WITH_TIMEOUT(reader.data, QByteArray("MSG_PING_SYSTRAY_GUI"), kWait);
    QTRY_COMPARE_WITH_TIMEOUT(stalled.data, QByteArray("MSG_PING_SYSTRAY_GUI"), kWait);
    // From now on the stalled peer takes nothing more from its socket.
    stalled.socket.disconnect(&stalled);
    stalled.socket.setReadBufferSize(1024);
    stalled.socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);

    const QString text = QString(64 * 1024, QLatin1Char('e'));
    int rounds = 0;
    for (; rounds < 400 && m_server->clientCount() == 2; ++rounds) {
        m_server->progress_txt2img_error(text);
        QCoreApplication::processEvents();
    }
    QCOMPARE(m_server->clientCount(), 1);
    QCOMPARE(m_capture->count(QStringLiteral("the peer reads nothing")), 1);
    // It went once its unsent output passed the bound, not before.
    QVERIFY2(qint64(rounds) * text.size() > CTcpServer::maxUnsentBytes, qPrintable(QString::number(rounds)));

    // The reader got every byte, in order.
    QTRY_COMPARE_WITH_TIMEOUT(reader.data.size(), 20 + rounds * text.size(), kWait * 2);
    QVERIFY(reader.data.endsWith(text.toUtf8()));
    m_server->progress_txt2img_for_c4d(1);
    QTRY_VERIFY_WITH_TIMEOUT(reader.data.endsWith("PROGRESS_TXT2IMG:1"), kWait);
    QVERIFY(!reader.closed);
}

void TestCTcpServer::progressReachesTwoHundredConnections()
{
    startServer();
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 200; ++i)
        clients.push_back(std::make_unique<Client>("MSG_PING_SYSTRAY_GUI"));
    QVERIFY(serveUntil([&] {
        for (const auto& client : clients) {
            if (client->data != "MSG_PING_SYSTRAY_GUI")
                return false;
        }
        return true;
    }));
    QCOMPARE(m_server->clientCount(), 200);

    QByteArray expected("MSG_PING_SYSTRAY_GUI");
    for (double value : {0.05, 0.5, 0.95}) {
        m_server->progress_txt2img_for_c4d(value);
        expected += "PROGRESS_TXT2IMG:" + QByteArray::number(value);
    }
    m_server->txt2img_finished_for_c4d(QStringLiteral("/tmp/x.png"));
    expected += "IMAGE_SAVED_SUCCESSFULLY: /tmp/x.png";
    QVERIFY(serveUntil([&] {
        for (const auto& client : clients) {
            if (client->data.size() < expected.size())
                return false;
        }
        return true;
    }));
    for (const auto& client : clients)
        QCOMPARE(client->data, expected);
    QCOMPARE(m_capture->count(QStringLiteral("] str388 before send <")), 3 * 200);
}

void TestCTcpServer::portTakenEndsWithBoxAndExitCode1()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, CTcpServer::port));

    const QString boxLog = m_home.filePath(QStringLiteral("port-taken.boxes"));
    QProcess host;
    host.setProcessEnvironment(hostEnvironment(boxLog));
    host.start(hostPath(), QStringList());
    QVERIFY2(host.waitForStarted(kWait), qPrintable(host.errorString()));
    QVERIFY(host.waitForFinished(kWait));
    QCOMPARE(host.exitStatus(), QProcess::NormalExit);
    QCOMPARE(host.exitCode(), 1);
    QVERIFY(!host.readAllStandardOutput().contains("listening"));

    QFile log(boxLog);
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QList<QByteArray> boxes = log.readAll().split('\n');
    QCOMPARE(boxes.size(), 2); // one line and the empty piece after its line feed
    const QByteArray prefix("critical\tError\tUnable to start the server: ");
    QVERIFY2(boxes.first().startsWith(prefix), boxes.first().constData());
    QVERIFY(boxes.first().size() > prefix.size()); // the socket's error text follows
}

void TestCTcpServer::runBatchFileWithoutSettingEndsWithExitCode1()
{
    QTemporaryDir emptyRegistry;
    QVERIFY(emptyRegistry.isValid());
    QVERIFY(SettingsStore::clear(emptyRegistry.path())); // Windows: the one registry
    const QString boxLog = m_home.filePath(QStringLiteral("no-setting.boxes"));
    QProcess host;
    QProcessEnvironment env = hostEnvironment(boxLog);
    env.insert(QStringLiteral("TRAYBRIDGE_REGISTRY_ROOT"), emptyRegistry.path());
    host.setProcessEnvironment(env);
    host.start(hostPath(), QStringList());
    QVERIFY2(host.waitForStarted(kWait), qPrintable(host.errorString()));
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += host.readAllStandardOutput()).contains("listening") ||
                                 host.state() == QProcess::NotRunning,
                             kWait);
    QVERIFY2(out.contains("listening"), host.readAllStandardError().constData());

    Client ping("MSG_PING_SYSTRAY_GUI");
    QTRY_COMPARE_WITH_TIMEOUT(ping.data, QByteArray("MSG_PING_SYSTRAY_GUI"), kWait);

    Client run("REQUEST_TO_RUN_RUNBAT");
    // The event loop must run for the client to send its request.
    QTRY_COMPARE_WITH_TIMEOUT(host.state(), QProcess::NotRunning, kWait);
    QCOMPARE(host.exitStatus(), QProcess::NormalExit);
    QCOMPARE(host.exitCode(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(run.closed && ping.closed, kWait);
    QCOMPARE(run.data, QByteArray()); // no reply
    QCOMPARE(ping.data, QByteArray("MSG_PING_SYSTRAY_GUI"));

    // The settings reader has reported the missing value before the end.
    QFile log(boxLog);
    QVERIFY(log.open(QIODevice::ReadOnly));
    // The reader's fixed text, then where the settings were read and how to fill them in.
    const QByteArray box = log.readAll();
    QVERIFY2(box.startsWith("information\tError!\tKey path_stable_difusson_bat not found\\n"
                            "<SOFTWARE\\\\Cinema4DPluginSettings>\\n\\nSettings read from the "),
             box.constData());
    QCOMPARE(box.count('\n'), 1);
}

QTEST_MAIN(TestCTcpServer)
#include "tst_ctcpserver.moc"
