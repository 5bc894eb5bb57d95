#include "FakeWebUi.h"

#include <QImage>
#include <QJsonDocument>
#include <QTest>

// The stand-in web UI answers in the real API's shapes, so that the clients
// are tested against them.
class TestFakeWebUi : public QObject
{
    Q_OBJECT

private:
    FakeWebUi m_web;

    static QJsonObject json(const FakeWebUi::Answer& a) { return QJsonDocument::fromJson(a.body).object(); }

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
