#include "FakeWebUi.h"

#include <QImage>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

#include <memory>

// The stand-in web UI answers in the real API's shapes, so that the clients
// are tested against them.
class TestFakeWebUi : public QObject
{
    Q_OBJECT

private:
    FakeWebUi m_web;

    static QJsonObject json(const FakeWebUi::Answer& a) { return QJsonDocument::fromJson(a.body).object(); }
    static QJsonObject progress(const QString& query = QString())
    {
        return json(FakeWebUi::request("GET", QStringLiteral("/sdapi/v1/progress") + query));
    }
    static QSize imageSize(const QJsonValue& base64)
    {
        return QImage::fromData(QByteArray::fromBase64(base64.toString().toLatin1()), "PNG").size();
    }
    // One raw HTTP/1.1 exchange, so that the headers on the wire are seen as they are.
    static QByteArray rawExchange(const QByteArray& request)
    {
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), 7860);
        if (!socket.waitForConnected(30000))
            return QByteArray();
        socket.write(request);
        QByteArray answer;
        while (socket.waitForReadyRead(30000) || socket.bytesAvailable())
            answer += socket.readAll();
        return answer;
    }

private slots:
    void initTestCase() { QVERIFY2(m_web.start(), qPrintable(m_web.error())); }
    void init() { QVERIFY2(m_web.reset(), qPrintable(m_web.error())); }

    void progressWhenIdle()
    {
        const FakeWebUi::Answer a = FakeWebUi::request("GET", QStringLiteral("/sdapi/v1/progress"));
        QCOMPARE(a.status, 200);
        const QJsonObject o = json(a);
        QCOMPARE(o.value("progress").type(), QJsonValue::Double);
        QCOMPARE(o.value("progress").toDouble(), 0.0);
        QCOMPARE(o.value("eta_relative").type(), QJsonValue::Double);
        QVERIFY(o.value("current_image").isNull());
        QVERIFY(o.value("textinfo").isNull());
        const QJsonObject state = o.value("state").toObject();
        for (const char* key : {"skipped", "interrupted", "job", "job_count", "job_timestamp", "job_no",
                                "sampling_step", "sampling_steps"})
            QVERIFY2(state.contains(QLatin1String(key)), key);
    }

    void txt2imgAnswer_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("images");
        QTest::addColumn<int>("steps"); // echoed in "parameters"
        QTest::newRow("defaults") << QByteArray("{}") << QSize(512, 512) << 1 << 50;
        QTest::newRow("batch and iterations")
            << QByteArray(
                   R"({"prompt":"bark","width":24,"height":16,"steps":2,"batch_size":2,"n_iter":3,"seed":5})")
            << QSize(24, 16) << 6 << 2;
        QTest::newRow("numbers as text")
            << QByteArray(R"({"width":"32","height":8,"steps":"1"})") << QSize(32, 8) << 1 << 1;
    }

    void txt2imgAnswer()
    {
        QFETCH(QByteArray, request);
        QFETCH(QSize, size);
        QFETCH(int, images);
        QFETCH(int, steps);
        const FakeWebUi::Answer a = FakeWebUi::request("POST", QStringLiteral("/sdapi/v1/txt2img"), request);
        QCOMPARE(a.status, 200);
        const QJsonObject o = json(a);
        const QJsonArray list = o.value("images").toArray();
        QCOMPARE(list.size(), images);
        for (const QJsonValue& v : list) {
            QVERIFY(!v.toString().startsWith(QLatin1String("data:")));
            const QImage image = QImage::fromData(QByteArray::fromBase64(v.toString().toLatin1()), "PNG");
            QCOMPARE(image.size(), size);
            QVERIFY(
                image.text(QStringLiteral("parameters")).contains(QStringLiteral("Steps: %1,").arg(steps)));
        }
        const QJsonObject parameters = o.value("parameters").toObject();
        QCOMPARE(parameters.value("width").toInt(), size.width());
        QCOMPARE(parameters.value("steps").toInt(), steps);
        QVERIFY(parameters.contains("negative_prompt"));
        QCOMPARE(o.value("info").type(), QJsonValue::String);
        const QJsonObject info = QJsonDocument::fromJson(o.value("info").toString().toUtf8()).object();
        QCOMPARE(info.value("all_seeds").toArray().size(), images);
    }

    void errors_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("other path") << QByteArray("GET") << "/sdapi/v1/nothing" << QByteArray() << 404
                                    << QByteArray(R"({"detail": "Not Found"})");
        QTest::newRow("wrong type")
            << QByteArray("POST") << "/sdapi/v1/txt2img" << QByteArray(R"({"width":"wide"})") << 422
            << QByteArray(
                   R"({"detail": [{"loc": ["body", "width"], "msg": "value is not a valid integer", "type": "type_error.integer"}]})");
    }

    void errors()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QByteArray, answer);
        const FakeWebUi::Answer a = FakeWebUi::request(method, path, body);
        QCOMPARE(a.status, status);
        QCOMPARE(a.body, answer);
    }

    void fault500HasTheRealShape()
    {
        QVERIFY(m_web.fault("txt2img", "error500", {{"count", 1}}));
        const FakeWebUi::Answer a = FakeWebUi::request("POST", QStringLiteral("/sdapi/v1/txt2img"), "{}");
        QCOMPARE(a.status, 500);
        const QJsonObject o = json(a);
        for (const char* key : {"error", "detail", "body", "errors"})
            QVERIFY2(o.contains(QLatin1String(key)), key);
        // "count" used up: the next request is served again.
        QCOMPARE(FakeWebUi::request("POST", QStringLiteral("/sdapi/v1/txt2img"),
                                    R"({"width":8,"height":8,"steps":1})")
                     .status,
                 200);
    }

    // Progress follows the real formula while a job runs (steps from 0, 0.01
    // added), previews come from step 10 on unless the poll skips them, and
    // the idle answer comes back after the job.
    void progressFollowsTheRealFormula()
    {
        QVERIFY(m_web.reset(0.01));
        QNetworkAccessManager client;
        std::unique_ptr<QNetworkReply> job(FakeWebUi::postTxt2img(
            client, R"({"prompt":"slate","width":8,"height":8,"steps":30,"n_iter":2})"));
        QTRY_VERIFY_WITH_TIMEOUT(m_web.status().value("running").toBool(), 30000);
        int polls = 0, previews = 0;
        bool skippedAfterPreviews = false;
        while (!job->isFinished()) {
            const bool skip = polls % 3 == 2;
            const QJsonObject o = progress(skip ? QStringLiteral("?skip_current_image=true") : QString());
            ++polls;
            const QJsonObject state = o.value("state").toObject();
            const int count = state.value("job_count").toInt();
            if (count == 0) {
                QCOMPARE(o.value("progress").toDouble(), 0.0);
                continue;
            }
            const int no = state.value("job_no").toInt(), step = state.value("sampling_step").toInt();
            QCOMPARE(count, 2);
            QCOMPARE(state.value("sampling_steps").toInt(), 30);
            QVERIFY2(step >= 0 && step < 30, qPrintable(QString::number(step)));
            const double expected = qMin(1.0, 0.01 + double(no) / count + double(step) / 30 / count);
            QVERIFY(qAbs(o.value("progress").toDouble() - expected) < 1e-9);
            const QJsonValue image = o.value("current_image");
            if (skip) {
                QVERIFY(image.isNull());
                skippedAfterPreviews = skippedAfterPreviews || previews > 0;
            } else if (!image.isNull()) {
                ++previews;
                QCOMPARE(imageSize(image), QSize(8, 8));
            } else if (no == 0) {
                QVERIFY2(step < 10, qPrintable(QString::number(step)));
            }
        }
        QCOMPARE(job->error(), QNetworkReply::NoError);
        QVERIFY2(previews > 0 && skippedAfterPreviews, qPrintable(QString::number(polls)));
        const QJsonObject idle = progress();
        QCOMPARE(idle.value("progress").toDouble(), 0.0);
        QVERIFY(idle.value("current_image").isNull());
    }

    // While the model loads, txt2img waits and progress gives the idle answer;
    // queued requests then run one at a time in the order they came.
    void modelLoadingAndFifo()
    {
        // Each job takes long enough that the answers arrive in the order they were sent.
        QVERIFY(m_web.control({{"model_loading", true}, {"step_delay", 0.05}}));
        QNetworkAccessManager client;
        QList<QNetworkReply*> jobs;
        QStringList finished;
        for (const char* prompt : {"first", "second", "third", "fourth"}) {
            QNetworkReply* reply = FakeWebUi::postTxt2img(
                client, QByteArray(R"({"width":8,"height":8,"steps":3,"prompt":")") + prompt + "\"}");
            connect(reply, &QNetworkReply::finished, this,
                    [&finished, prompt] { finished.append(QLatin1String(prompt)); });
            jobs.append(reply);
            // Each one is in the queue before the next is sent.
            QTRY_COMPARE_WITH_TIMEOUT(m_web.status().value("queued").toInt(), jobs.size(), 30000);
        }
        QVERIFY(m_web.status().value("model_loading").toBool());
        QVERIFY(!m_web.status().value("running").toBool());
        const QJsonObject idle = progress();
        QCOMPARE(idle.value("progress").toDouble(), 0.0);
        QCOMPARE(idle.value("state").toObject().value("job_count").toInt(), 0);
        QCOMPARE(finished, QStringList());

        QVERIFY(m_web.control({{"model_loading", false}}));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 4, 60000);
        QCOMPARE(finished, (QStringList{"first", "second", "third", "fourth"}));
        for (QNetworkReply* reply : jobs) {
            QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
            delete reply;
        }
    }

    void txt2imgBodies_data()
    {
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QList<QSize>>("images");
        const QSize s8(8, 8);
        QTest::newRow("unknown fields are ignored")
            << QByteArray("application/json")
            << QByteArray(R"({"width":8,"height":8,"steps":1,"no_such_field":[1],"override_settings":{}})")
            << 200 << QList<QSize>{s8};
        QTest::newRow("[] gives the defaults")
            << QByteArray("application/json") << QByteArray("[]") << 200 << QList<QSize>{QSize(512, 512)};
        QTest::newRow("no content type is JSON")
            << QByteArray() << QByteArray(R"({"width":8,"height":8,"steps":1})") << 200 << QList<QSize>{s8};
        QTest::newRow("text/plain is refused")
            << QByteArray("text/plain") << QByteArray(R"({"width":8,"height":8,"steps":1})") << 422
            << QList<QSize>{};
        QTest::newRow("a list with items is refused")
            << QByteArray("application/json") << QByteArray("[1]") << 422 << QList<QSize>{};
        QTest::newRow("send_images false")
            << QByteArray("application/json")
            << QByteArray(R"({"width":8,"height":8,"steps":1,"send_images":false})") << 200 << QList<QSize>{};
        QTest::newRow("save_images with several images: the grid first")
            << QByteArray("application/json")
            << QByteArray(R"({"width":8,"height":8,"steps":1,"batch_size":3,"save_images":true})") << 200
            << QList<QSize>{QSize(16, 16), s8, s8, s8};
        QTest::newRow("save_images with one image: no grid")
            << QByteArray("application/json")
            << QByteArray(R"({"width":8,"height":8,"steps":1,"save_images":true})") << 200
            << QList<QSize>{s8};
    }
    void txt2imgBodies()
    {
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QList<QSize>, images);
        const FakeWebUi::Answer a =
            FakeWebUi::request("POST", QStringLiteral("/sdapi/v1/txt2img"), body, contentType);
        QCOMPARE(a.status, status);
        const QJsonObject o = json(a);
        if (status == 422) {
            const QJsonArray detail = o.value("detail").toArray();
            QCOMPARE(detail.size(), 1);
            QCOMPARE(detail.at(0).toObject().value("loc").toArray(), QJsonArray{"body"});
            return;
        }
        QList<QSize> got;
        for (const QJsonValue& v : o.value("images").toArray())
            got.append(imageSize(v));
        QCOMPARE(got, images);
        QVERIFY(!o.value("parameters").toObject().contains("no_such_field"));
    }

    // Answers of 1000 bytes and more are gzip-compressed when the client asks.
    void gzipWhenAsked_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<bool>("compressed");
        const QByteArray image = R"({"width":16,"height":16,"steps":1})";
        const QByteArray post = "POST /sdapi/v1/txt2img HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                                "Content-Type: application/json\r\nContent-Length: " +
                                QByteArray::number(image.size()) + "\r\n";
        QTest::newRow("large, gzip asked") << post + "Accept-Encoding: gzip, deflate\r\n\r\n" + image << true;
        QTest::newRow("large, not asked") << post + "\r\n" + image << false;
        QTest::newRow("small, gzip asked")
            << QByteArray("GET /sdapi/v1/progress HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                          "Accept-Encoding: gzip\r\n\r\n")
            << false;
    }
    void gzipWhenAsked()
    {
        QFETCH(QByteArray, request);
        QFETCH(bool, compressed);
        const QByteArray answer = rawExchange(request);
        const int end = answer.indexOf("\r\n\r\n");
        QVERIFY2(answer.startsWith("HTTP/1.1 200") && end > 0, answer.left(200).constData());
        const QByteArray head = answer.left(end).toLower();
        const QByteArray body = answer.mid(end + 4);
        QCOMPARE(head.contains("\r\ncontent-encoding: gzip"), compressed);
        // gzip's magic bytes, or the JSON text itself.
        QCOMPARE(body.startsWith("\x1f\x8b"), compressed);
        if (!compressed)
            QVERIFY(body.startsWith("{"));
    }

    // A bad control request is refused whole: the earlier switches stay.
    void badControlChangesNothing()
    {
        QVERIFY(m_web.control({{"step_delay", 0.5}}));
        QVERIFY(!m_web.control(
            {{"step_delay", 0.0},
             {"faults", QJsonArray{QJsonObject{{"endpoint", "txt2img"}, {"kind", "bogus"}}}}}));
        QVERIFY(m_web.error().contains(QLatin1String("kind must be one of")));
        const QJsonObject status = m_web.status();
        QCOMPARE(status.value("step_delay").toDouble(), 0.5);
        QVERIFY(status.value("faults").toObject().isEmpty());
    }
};

QTEST_MAIN(TestFakeWebUi)
#include "tst_fakewebui.moc"
