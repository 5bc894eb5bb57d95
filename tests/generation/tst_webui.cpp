#include "CTcpServer.h"
#include "CWebReqSkip.h"
#include "FakeWebUi.h"
#include "Generer.h"
#include "MessageCapture.h"
#include "Progress.h"
#include "SettingsStore.h"
#include "WebUi.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

// The request builder, the settings value "webui_api_auth" and the error texts
// of HTTP answers, against the stand-in web UI started with credentials or
// without its API.
class TestWebUi : public QObject
{
    Q_OBJECT

private:
    FakeWebUi m_web;
    QTemporaryDir m_root;
    QTemporaryDir m_home;
    QStringList m_webArgs;

    // Empty removes the value.
    bool setCredentials(const QByteArray& value)
    {
        if (value.isEmpty())
            return SettingsStore::remove(m_root.path(), QStringLiteral("webui_api_auth"));
        return SettingsStore::write(m_root.path(), QStringLiteral("webui_api_auth"), value);
    }
    bool runWeb(const QStringList& args)
    {
        if (!m_web.isRunning() || args != m_webArgs) {
            m_webArgs = args;
            if (!m_web.start(args))
                return false;
        }
        return m_web.reset();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        QVERIFY(m_home.isValid());
        qputenv("TRAYBRIDGE_REGISTRY_ROOT", QFile::encodeName(m_root.path()));
        qputenv("HOME", QFile::encodeName(m_home.path()));
    }

    void cleanupTestCase() { qunsetenv("TRAYBRIDGE_REGISTRY_ROOT"); }

    void failureText_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("sentCredentials");
        QTest::addColumn<QString>("expected");
        const QString client = QStringLiteral("client text");
        QTest::newRow("401 without credentials")
            << 401 << "/sdapi/v1/txt2img" << false << WebUi::credentialsWantedText();
        QTest::newRow("401 with credentials")
            << 401 << "/sdapi/v1/skip" << true << WebUi::credentialsRefusedText();
        QTest::newRow("404 on the API") << 404 << "/sdapi/v1/progress" << false << WebUi::apiMissingText();
        QTest::newRow("405 on the API") << 405 << "/sdapi/v1/txt2img" << true << WebUi::apiMissingText();
        QTest::newRow("404 elsewhere") << 404 << "/other" << false << client;
        QTest::newRow("500") << 500 << "/sdapi/v1/txt2img" << false << client;
        QTest::newRow("422") << 422 << "/sdapi/v1/txt2img" << false << client;
        QTest::newRow("no HTTP answer") << 0 << "/sdapi/v1/txt2img" << false << client;
    }
    void failureText()
    {
        QFETCH(int, status);
        QFETCH(QString, path);
        QFETCH(bool, sentCredentials);
        QFETCH(QString, expected);
        QCOMPARE(WebUi::failureText(status, path, sentCredentials, QStringLiteral("client text")), expected);
    }

    // The three texts name what to do.
    void textsSayWhatToDo()
    {
        QVERIFY(WebUi::credentialsWantedText().contains(QLatin1String("\"webui_api_auth\"")));
        QVERIFY(WebUi::credentialsRefusedText().contains(QLatin1String("\"webui_api_auth\"")));
        QVERIFY(WebUi::apiMissingText().contains(QLatin1String("--api")));
    }

    void requestHeaders_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QByteArray>("authorization");
        QTest::newRow("absent") << QByteArray() << QByteArray();
        QTest::newRow("user:password") << QByteArray("ana:s3cret") << QByteArray("Basic YW5hOnMzY3JldA==");
        QTest::newRow("colon in password")
            << QByteArray("ana:a:b") << QByteArray("Basic ") + QByteArray("ana:a:b").toBase64();
    }
    void requestHeaders()
    {
        QFETCH(QByteArray, stored);
        QFETCH(QByteArray, authorization);
        QVERIFY(setCredentials(stored));
        const QNetworkRequest request = WebUi::request(QStringLiteral("/sdapi/v1/progress"));
        QCOMPARE(request.url(), QUrl(QStringLiteral("http://127.0.0.1:7860/sdapi/v1/progress")));
        QCOMPARE(request.header(QNetworkRequest::ContentTypeHeader).toString(),
                 QStringLiteral("application/json"));
        QCOMPARE(request.rawHeader("Authorization"), authorization);
        // Nothing else: requests without credentials go out as they always did.
        QCOMPARE(request.rawHeaderList().size(), authorization.isEmpty() ? 1 : 2);
    }

    // A web UI started with --api-auth: all three endpoints send the setting;
    // a 401 counts as running, and prompts and skips tell the plug-in why.
    void endpointsWithCredentials_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QString>("failure");
        QTest::newRow("absent") << QByteArray() << WebUi::credentialsWantedText();
        QTest::newRow("wrong") << QByteArray("ana:wrong") << WebUi::credentialsRefusedText();
        QTest::newRow("right") << QByteArray("ana:s3cret") << QString();
    }
    void endpointsWithCredentials()
    {
        QFETCH(QByteArray, stored);
        QFETCH(QString, failure);
        QVERIFY2(runWeb({QStringLiteral("--api-auth"), QStringLiteral("ana:s3cret")}),
                 qPrintable(m_web.error()));
        QVERIFY(setCredentials(stored));

        Progress progress;
        QSignalSpy alive(&progress, &Progress::signal_set_status_is_stable_diffusion_run);
        progress.get_stable_diffusion_progress_bar();
        QVERIFY(alive.wait(30000));
        QCOMPARE(alive.first().at(0).toBool(), true);

        Generer generer;
        QSignalSpy failed(&generer, &Generer::signal_txt2img_failed);
        QSignalSpy stored_(&generer, &Generer::signal_txt2img_finished_for_c4d);
        generer.post_req_txt2img(R"({"prompt":"moss","width":8,"height":8,"steps":2})");
        QTRY_VERIFY_WITH_TIMEOUT(failed.count() + stored_.count() == 1, 30000);

        MessageCapture capture;
        CWebReqSkip skip;
        QSignalSpy skipFailed(&skip, &CWebReqSkip::signal_skip_failed);
        skip.post_req_skip();
        QTRY_VERIFY_WITH_TIMEOUT(capture.contains(QStringLiteral(
                                     "CWebReqSkip::onNetworkReplyFinished(QNetworkReply*) ] : str299 End.")),
                                 30000);

        if (failure.isEmpty()) {
            QCOMPARE(stored_.count(), 1);
            QVERIFY(QFile::exists(stored_.first().at(0).toString()));
            QCOMPARE(skipFailed.count(), 0);
        } else {
            QCOMPARE(failed.count(), 1);
            QCOMPARE(failed.first().at(0).toString(), failure);
            QCOMPARE(skipFailed.count(), 1);
            QCOMPARE(skipFailed.first().at(0).toString(), failure);
        }
        const QByteArray header = stored.isEmpty() ? QByteArray() : "Basic " + stored.toBase64();
        const QJsonArray all = m_web.requests();
        QCOMPARE(all.size(), 3);
        for (const QJsonValue& r : all)
            QCOMPARE(r[QStringLiteral("authorization")].toString().toUtf8(), header);
    }

    // A skip refused with 401 is not lost: the plug-in hears why, after the
    // acknowledgement, on its connection.
    void refusedSkipReachesThePlugin()
    {
        QVERIFY2(runWeb({QStringLiteral("--api-auth"), QStringLiteral("ana:s3cret")}),
                 qPrintable(m_web.error()));
        QVERIFY(setCredentials(QByteArray()));
        CTcpServer server;
        QVERIFY(server.isListening());
        QTcpSocket plugin;
        QByteArray received;
        connect(&plugin, &QTcpSocket::readyRead, this, [&] { received += plugin.readAll(); });
        plugin.connectToHost(QHostAddress::LocalHost, CTcpServer::port);
        plugin.write("REQUEST_SKIP_GENERATION");
        QTRY_COMPARE_WITH_TIMEOUT(received, "OK_SKIP_GENERATION" + WebUi::credentialsWantedText().toUtf8(),
                                  30000);
    }

    // The generation client against the answers of the real server's shapes.
    void clientAgainstAnswerShapes_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QSize>("stored"); // invalid: the plug-in gets `failure`
        QTest::addColumn<QString>("failure");
        QTest::newRow("unknown fields are ignored")
            << QByteArray(R"({"prompt":"x","width":8,"height":8,"steps":1,"no_such_field":1})") << QString()
            << QSize(8, 8) << QString();
        QTest::newRow("save_images with two images: the grid comes first and is stored")
            << QByteArray(R"({"width":8,"height":8,"steps":1,"batch_size":2,"save_images":true})")
            << QString() << QSize(16, 8) << QString();
        QTest::newRow("send_images false: no image")
            << QByteArray(R"({"width":8,"height":8,"steps":1,"send_images":false})") << QString() << QSize()
            << QStringLiteral("The web UI answered without an image.");
        QTest::newRow("wrong type: 422") << QByteArray(R"({"steps":"many"})") << QString() << QSize()
                                         << QStringLiteral("server replied: Unprocessable Entity");
        QTest::newRow("server error: 500")
            << QByteArray(R"({"width":8,"height":8,"steps":1})") << QStringLiteral("error500") << QSize()
            << QStringLiteral("server replied: Internal Server Error");
    }
    void clientAgainstAnswerShapes()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QString, fault);
        QFETCH(QSize, stored);
        QFETCH(QString, failure);
        QVERIFY2(runWeb({}), qPrintable(m_web.error()));
        QVERIFY(setCredentials(QByteArray()));
        if (!fault.isEmpty())
            QVERIFY(m_web.fault(QStringLiteral("txt2img"), fault));

        Generer generer;
        QSignalSpy failed(&generer, &Generer::signal_txt2img_failed);
        QSignalSpy saved(&generer, &Generer::signal_txt2img_finished_for_c4d);
        generer.post_req_txt2img(payload);
        QTRY_VERIFY_WITH_TIMEOUT(failed.count() + saved.count() == 1, 30000);
        if (stored.isValid()) {
            QCOMPARE(saved.count(), 1);
            QCOMPARE(QImage(saved.first().at(0).toString()).size(), stored);
            // Answers this large come gzip-compressed, as the client asks.
            const QJsonArray posts = m_web.requests(QStringLiteral("/sdapi/v1/txt2img"));
            QCOMPARE(posts.size(), 1);
            QVERIFY(
                posts.at(0)[QStringLiteral("accept_encoding")].toString().contains(QLatin1String("gzip")));
        } else {
            QCOMPARE(failed.count(), 1);
            QVERIFY2(failed.first().at(0).toString().contains(failure),
                     qPrintable(failed.first().at(0).toString()));
        }
    }

    // While the model loads, the prompt waits and the polls read the idle
    // answer: 0 is relayed, no error; then the image is stored.
    void promptWhileTheModelLoads()
    {
        QVERIFY2(runWeb({}), qPrintable(m_web.error()));
        QVERIFY(setCredentials(QByteArray()));
        QVERIFY(m_web.control({{"model_loading", true}}));

        Generer generer;
        Progress progress;
        QSignalSpy values(&progress, &Progress::signal_progress_txt2img_for_c4d);
        QSignalSpy errors(&progress, &Progress::signal_progress_txt2img_error);
        QSignalSpy saved(&generer, &Generer::signal_txt2img_finished_for_c4d);
        generer.post_req_txt2img(R"({"prompt":"loam","width":8,"height":8,"steps":2})");
        progress.start_recursiv_get_progress();
        QTRY_VERIFY_WITH_TIMEOUT(values.count() >= 2, 30000);
        for (const QList<QVariant>& v : values)
            QCOMPARE(v.at(0).toDouble(), 0.0);
        QVERIFY(saved.isEmpty());

        QVERIFY(m_web.control({{"model_loading", false}}));
        QTRY_COMPARE_WITH_TIMEOUT(saved.count(), 1, 30000);
        progress.post_req_txt2img_finished();
        QVERIFY(errors.isEmpty());
    }

    // A web UI without its API: the plug-in is told to start it with --api.
    void webUiWithoutApi()
    {
        QVERIFY2(runWeb({QStringLiteral("--no-api")}), qPrintable(m_web.error()));
        QVERIFY(setCredentials(QByteArray()));

        Generer generer;
        QSignalSpy failed(&generer, &Generer::signal_txt2img_failed);
        generer.post_req_txt2img(R"({"prompt":"moss"})");
        QVERIFY(failed.wait(30000));
        QCOMPARE(failed.first().at(0).toString(), WebUi::apiMissingText());

        CWebReqSkip skip;
        QSignalSpy skipFailed(&skip, &CWebReqSkip::signal_skip_failed);
        skip.post_req_skip();
        QVERIFY(skipFailed.wait(30000));
        QCOMPARE(skipFailed.first().at(0).toString(), WebUi::apiMissingText());

        Progress progress;
        QSignalSpy errors(&progress, &Progress::signal_progress_txt2img_error);
        progress.start_recursiv_get_progress();
        QVERIFY(errors.wait(30000));
        progress.post_req_txt2img_finished();
        QCOMPARE(errors.first().at(0).toString(), WebUi::apiMissingText());
    }
};

QTEST_MAIN(TestWebUi)
#include "tst_webui.moc"
