// A plug-in's view of text-to-image work: real TCP clients on the bridge
// server, the generation client behind it and the stand-in web UI.

#include "CTcpServer.h"
#include "FakeWebUi.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QScopedPointer>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

// One plug-in connection that gathers everything the server sends it.
class PluginClient
{
public:
    bool open(const QByteArray& request)
    {
        socket = std::make_unique<QTcpSocket>();
        QObject::connect(socket.get(), &QTcpSocket::readyRead, [this] { received += socket->readAll(); });
        socket->connectToHost(QStringLiteral("127.0.0.1"), CTcpServer::port);
        if (!socket->waitForConnected(30000))
            return false;
        socket->write(request);
        return socket->flush() || socket->bytesToWrite() == 0;
    }
    QStringList progress() const
    {
        QStringList values;
        static const QRegularExpression rx(QStringLiteral("PROGRESS_TXT2IMG:([0-9.]+(?:e[-+][0-9]+)?)"));
        auto it = rx.globalMatch(QString::fromUtf8(received));
        while (it.hasNext())
            values << it.next().captured(1);
        return values;
    }
    std::unique_ptr<QTcpSocket> socket;
    QByteArray received;
};

const QByteArray kSaved = "IMAGE_SAVED_SUCCESSFULLY: ";
const QByteArray kStarted = "IMAGE_GENERATION_PROCESS_STARTED";

// The PNG path of the saved notification, or empty while it has not come whole.
// A late progress value may follow it, as nothing separates notifications.
QString savedPath(const QByteArray& received)
{
    const int at = received.indexOf(kSaved);
    const int end = at < 0 ? -1 : received.indexOf(".png", at);
    if (end < 0)
        return QString();
    return QString::fromUtf8(received.mid(at + kSaved.size(), end + 4 - at - kSaved.size()));
}

} // namespace

class TestGenerationRoundTrip : public QObject
{
    Q_OBJECT

private:
    FakeWebUi m_web;
    QScopedPointer<QTemporaryDir> m_home;
    QScopedPointer<CTcpServer> m_server;

    // A second connection that only pings, then stays open for notifications.
    void openWatcher(PluginClient& watcher)
    {
        QVERIFY(watcher.open("MSG_PING_SYSTRAY_GUI"));
        QTRY_COMPARE_WITH_TIMEOUT(watcher.received, QByteArray("MSG_PING_SYSTRAY_GUI"), 30000);
        watcher.received.clear();
    }
    int progressPolls() { return m_web.requests(QStringLiteral("/sdapi/v1/progress")).size(); }
    // Waits on the stand-in for a skip answered after `seconds` and tells how
    // many polls arrived meanwhile: far more than one means polling goes on.
    int pollsDuring(double seconds)
    {
        const int before = progressPolls();
        m_web.fault(QStringLiteral("skip"), QStringLiteral("slow"), {{"seconds", seconds}, {"count", 1}});
        FakeWebUi::request("POST", QStringLiteral("/sdapi/v1/skip"), "{}");
        return progressPolls() - before;
    }

private slots:
    void initTestCase()
    {
        m_home.reset(new QTemporaryDir);
        QVERIFY(m_home->isValid());
        qputenv("HOME", QFile::encodeName(m_home->path()));
        QVERIFY2(m_web.start(), qPrintable(m_web.error()));
        m_server.reset(new CTcpServer(nullptr));
        QVERIFY(m_server->isListening());
    }

    void init() { QVERIFY2(m_web.prepare(), qPrintable(m_web.error())); }

    void promptYieldsProgressAndTheStoredImage()
    {
        QVERIFY(m_web.reset(0.04));
        PluginClient watcher;
        openWatcher(watcher);
        if (QTest::currentTestFailed())
            return;

        const QByteArray payload =
            u8R"({"prompt":"cobblestones, мох","width":24,"height":16,"steps":40,"seed":3})";
        PluginClient plugin;
        QVERIFY(plugin.open("prompt:" + payload.toBase64() + "\n"));
        QTRY_VERIFY_WITH_TIMEOUT(!savedPath(plugin.received).isEmpty(), 60000);
        QVERIFY2(plugin.received.startsWith(kStarted), plugin.received.constData());

        // Progress while it ran, on both connections.
        for (const PluginClient* client : {&plugin, &watcher}) {
            const QStringList values = client->progress();
            QVERIFY2(!values.isEmpty(), client->received.constData());
            bool between = false;
            for (const QString& v : values)
                between = between || (v.toDouble() > 0 && v.toDouble() < 1);
            QVERIFY2(between, client->received.constData());
        }
        const QString png = savedPath(plugin.received);
        QTRY_COMPARE_WITH_TIMEOUT(savedPath(watcher.received), png, 30000);
        QCOMPARE(plugin.received.count(kSaved), 1);
        QCOMPARE(QFileInfo(png).absolutePath(),
                 m_home->path() + QStringLiteral("/Documents/AI_TEXTURES/FULL_RES"));
        QImage image;
        QVERIFY(image.load(png));
        QCOMPARE(image.size(), QSize(24, 16));
        QCOMPARE(image.text(QStringLiteral("Comment")), QString::fromUtf8(payload));
        QFile text(m_home->path() + QStringLiteral("/Documents/AI_TEXTURES/") +
                   QFileInfo(png).completeBaseName() + QStringLiteral(".txt"));
        QVERIFY(text.open(QIODevice::ReadOnly));
        QCOMPARE(text.readAll(), payload);

        // The stored image stops the polling.
        QVERIFY(pollsDuring(1.5) <= 2);
    }

    // The plug-in hears why a generation failed, and polling stops.
    void failedGenerationIsTold_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("error");
        QTest::newRow("HTTP 500") << "error500"
                                  << (QStringLiteral(
                                          "Error transferring %1/sdapi/v1/txt2img - server replied: "
                                          "Internal Server Error")
                                          .arg(FakeWebUi::baseUrl())
                                          .toUtf8());
        QTest::newRow("undecodable image")
            << "undecodable" << QByteArray("The image sent by the web UI cannot be decoded.");
        QTest::newRow("no images") << "no_images" << QByteArray("The web UI answered without an image.");
    }

    void failedGenerationIsTold()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, error);
        QVERIFY(m_web.fault(QStringLiteral("txt2img"), kind, {{"count", 1}}));
        PluginClient watcher;
        openWatcher(watcher);
        if (QTest::currentTestFailed())
            return;

        PluginClient plugin;
        QVERIFY(plugin.open("prompt:" + QByteArray(R"({"width":8,"height":8,"steps":1})").toBase64()));
        QTRY_VERIFY_WITH_TIMEOUT(plugin.received.contains(error), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(watcher.received.contains(error), 30000);
        QVERIFY2(plugin.received.startsWith(kStarted), plugin.received.constData());
        QCOMPARE(plugin.received.count(error), 1);
        QCOMPARE(watcher.received.count(error), 1);

        QVERIFY(pollsDuring(1.5) <= 2);
        QVERIFY(!plugin.received.contains(kSaved));
        QCOMPARE(plugin.received.count(error), 1);
    }

    // A failed poll: its error text once, alone, then no more polls while the
    // image is still being made; the image still arrives in the end.
    void failedPollIsToldOnce()
    {
        QVERIFY(
            m_web.fault(QStringLiteral("txt2img"), QStringLiteral("slow"), {{"seconds", 3}, {"count", 1}}));
        // Only the first poll fails; one already on its way may still bring a value.
        QVERIFY(m_web.fault(QStringLiteral("progress"), QStringLiteral("error500"), {{"count", 1}}));
        const QByteArray error = QStringLiteral("Error transferring %1/sdapi/v1/progress - server replied: "
                                                "Internal Server Error")
                                     .arg(FakeWebUi::baseUrl())
                                     .toUtf8();
        PluginClient plugin;
        QVERIFY(plugin.open("prompt:" + QByteArray(R"({"width":8,"height":8,"steps":1})").toBase64()));
        QTRY_VERIFY_WITH_TIMEOUT(plugin.received.contains(error), 60000);
        QVERIFY(pollsDuring(1.5) <= 2);
        QVERIFY2(plugin.received.startsWith(kStarted + error), plugin.received.constData());
        QTRY_VERIFY_WITH_TIMEOUT(!savedPath(plugin.received).isEmpty(), 60000);
        QCOMPARE(plugin.received.count(error), 1);
    }

    void twoSkipsSendTwoPosts()
    {
        PluginClient first, second;
        QVERIFY(first.open("REQUEST_SKIP_GENERATION"));
        QVERIFY(second.open("REQUEST_SKIP_GENERATION\r\n"));
        QTRY_COMPARE_WITH_TIMEOUT(first.received, QByteArray("OK_SKIP_GENERATION"), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(second.received, QByteArray("OK_SKIP_GENERATION"), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(m_web.requests(QStringLiteral("/sdapi/v1/skip")).size(), 2, 30000);
    }

    void cleanupTestCase()
    {
        m_server.reset();
        m_web.stop();
    }
};

QTEST_MAIN(TestGenerationRoundTrip)
#include "tst_generation_roundtrip.moc"
