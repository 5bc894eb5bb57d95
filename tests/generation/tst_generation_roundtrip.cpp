// A plug-in's view of text-to-image work: real TCP clients on the bridge
// server, the generation client behind it and the stand-in web UI.

#include "CTcpServer.h"
#include "FakeWebUi.h"
#include "MessageCapture.h"
#include "Progress.h"
#include "SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonObject>
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
const QString kPollPath = QStringLiteral("/sdapi/v1/progress?skip_current_image=true");

QByteArray prompt(int steps)
{
    return "prompt:" + QStringLiteral(R"({"width":8,"height":8,"steps":%1})").arg(steps).toUtf8().toBase64();
}

// Progress values in the given bytes that lie strictly between 0 and 1.
int valuesBetween(const QByteArray& bytes)
{
    int n = 0;
    static const QRegularExpression rx(QStringLiteral("PROGRESS_TXT2IMG:([0-9.]+(?:e[-+][0-9]+)?)"));
    auto it = rx.globalMatch(QString::fromUtf8(bytes));
    while (it.hasNext()) {
        const double v = it.next().captured(1).toDouble();
        n += v > 0 && v < 1;
    }
    return n;
}

// The PNG path of a saved notification (the first from `from`), or empty
// while it has not come whole.
QString savedPath(const QByteArray& received, int from = 0)
{
    const int at = received.indexOf(kSaved, from);
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
    QStringList storedImages() const
    {
        return QDir(QDir::homePath() + QStringLiteral("/Documents/AI_TEXTURES/FULL_RES"))
            .entryList(QDir::Files);
    }
    int progressPolls() { return m_web.requests(kPollPath).size(); }
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
        MessageCapture capture;
        PluginClient plugin;
        QVERIFY(plugin.open("prompt:" + payload.toBase64() + "\n"));
        QTRY_VERIFY_WITH_TIMEOUT(!savedPath(plugin.received).isEmpty(), 60000);

        // Between the web UI's answer and the saved notification no progress is relayed.
        const QStringList lines = capture.lines();
        int answered = -1, stored = -1;
        for (int i = 0; i < lines.size(); ++i) {
            if (answered < 0 && lines.at(i).endsWith(QStringLiteral(
                                    "[ void Generer::onNetworkReplyFinished(QNetworkReply*) ] :")))
                answered = i;
            if (lines.at(i).contains(QStringLiteral("Image saved successfully!")))
                stored = i;
        }
        QVERIFY(answered >= 0 && stored > answered);
        for (int i = answered; i < stored; ++i)
            QVERIFY2(!lines.at(i).contains(QStringLiteral("progress_txt2img_for_c4d")),
                     qPrintable(lines.at(i)));
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
                 QDir::homePath() + QStringLiteral("/Documents/AI_TEXTURES/FULL_RES"));
        QImage image;
        QVERIFY(image.load(png));
        QCOMPARE(image.size(), QSize(24, 16));
        QCOMPARE(image.text(QStringLiteral("Comment")), QString::fromUtf8(payload));
        QFile text(QDir::homePath() + QStringLiteral("/Documents/AI_TEXTURES/") +
                   QFileInfo(png).completeBaseName() + QStringLiteral(".txt"));
        QVERIFY(text.open(QIODevice::ReadOnly));
        QCOMPARE(text.readAll(), payload);

        // The stored image stops the polling, and no progress value follows it.
        QVERIFY(pollsDuring(1.5) <= 2);
        QVERIFY2(plugin.received.endsWith(kSaved + png.toUtf8()), plugin.received.constData());
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

    // A single failed poll is not the plug-in's business: the image still comes.
    void singleFailedPollIsNotTold()
    {
        QVERIFY(m_web.reset(0.05));
        QVERIFY(m_web.fault(QStringLiteral("progress"), QStringLiteral("error500"), {{"count", 1}}));
        PluginClient plugin;
        QVERIFY(plugin.open(prompt(30)));
        QTRY_VERIFY_WITH_TIMEOUT(!savedPath(plugin.received).isEmpty(), 60000);
        QVERIFY(m_web.status().value(QStringLiteral("faults")).toObject().isEmpty()); // it did fail
        QVERIFY2(!plugin.received.contains("Error"), plugin.received.constData());
        QVERIFY(valuesBetween(plugin.received) > 0);
    }

    // Polls that keep failing end the request: one error, no more polls, and
    // its answer, when it comes, claims no success.
    void unreachableWebUiFailsTheRequestOnce()
    {
        QVERIFY(m_web.reset(0.1));
        QVERIFY(m_web.fault(QStringLiteral("progress"), QStringLiteral("error500")));
        const QByteArray error = QStringLiteral("The web UI cannot be reached: Error transferring "
                                                "%1/sdapi/v1/progress?skip_current_image=true - server "
                                                "replied: Internal Server Error")
                                     .arg(FakeWebUi::baseUrl())
                                     .toUtf8();
        PluginClient watcher;
        openWatcher(watcher);
        if (QTest::currentTestFailed())
            return;
        const QStringList storedBefore = storedImages();
        PluginClient plugin;
        QVERIFY(plugin.open(prompt(40)));
        QTRY_VERIFY_WITH_TIMEOUT(plugin.received.contains(error), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(watcher.received.contains(error), 30000);
        QCOMPARE(progressPolls(), int(Progress::unreachablePolls));

        // The stand-in finishes the image it was making and answers.
        QTRY_VERIFY_WITH_TIMEOUT(!m_web.status().value(QStringLiteral("running")).toBool(), 60000);
        QVERIFY(pollsDuring(1.0) == 0);
        QCOMPARE(plugin.received, kStarted + error);
        QCOMPARE(watcher.received, error);
        QCOMPARE(storedImages(), storedBefore);
    }

    // A txt2img that hangs with no progress is given up after the stall limit.
    void stalledTxt2imgIsTold()
    {
        QTemporaryDir registry;
        QVERIFY(registry.isValid());
        qputenv("TRAYBRIDGE_REGISTRY_ROOT", QFile::encodeName(registry.path()));
        QVERIFY(SettingsStore::write(registry.path(), QString::fromLatin1(Progress::stallSetting), "2"));
        QVERIFY(m_web.fault(QStringLiteral("txt2img"), QStringLiteral("hang")));
        const QByteArray error = "The web UI made no progress for 2 seconds; the request was abandoned.";

        PluginClient plugin;
        QVERIFY(plugin.open(prompt(1)));
        QTRY_VERIFY_WITH_TIMEOUT(plugin.received.contains(error), 60000);
        QVERIFY(pollsDuring(1.0) <= 1);
        QVERIFY2(plugin.received.startsWith(kStarted), plugin.received.constData());
        QVERIFY2(plugin.received.endsWith(error), plugin.received.constData());
        QCOMPARE(plugin.received.count(error), 1);
        qunsetenv("TRAYBRIDGE_REGISTRY_ROOT");
    }

    // Two overlapping prompts: storing the first does not end the progress of
    // the second.
    void overlappingPromptsBothGetProgress()
    {
        QVERIFY(m_web.reset(0.05));
        PluginClient first, second;
        QVERIFY(first.open(prompt(20)));
        QTRY_VERIFY_WITH_TIMEOUT(first.received.startsWith(kStarted), 30000);
        QVERIFY(second.open(prompt(30)));
        QTRY_VERIFY_WITH_TIMEOUT(
            second.received.count(kSaved) == 2 &&
                !savedPath(second.received, second.received.lastIndexOf(kSaved)).isEmpty(),
            60000);

        const int firstSaved = second.received.indexOf(kSaved);
        const int secondSaved = second.received.lastIndexOf(kSaved);
        QVERIFY(savedPath(second.received) != savedPath(second.received, secondSaved));
        const QByteArray between = second.received.mid(firstSaved, secondSaved - firstSaved);
        QVERIFY2(valuesBetween(between) > 0, second.received.constData());
        QTRY_COMPARE_WITH_TIMEOUT(first.received.count(kSaved), 2, 30000);
        QVERIFY(pollsDuring(1.0) <= 2);
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
