#include "FakeWebUi.h"
#include "MessageCapture.h"
#include "Progress.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

// Progress poller and liveness probe against the stand-in web UI.
class TestProgress : public QObject
{
    Q_OBJECT

private:
    FakeWebUi m_web;

    static QTimer* pollTimer(Progress& p)
    {
        const QList<QTimer*> timers = p.findChildren<QTimer*>(QString(), Qt::FindDirectChildrenOnly);
        return timers.size() == 1 ? timers.first() : nullptr;
    }
    // How QDebug writes a text piece (quoted, escaped).
    static QString quoted(const QString& text)
    {
        QString out;
        QDebug(&out) << text;
        return out.trimmed();
    }

private slots:
    void initTestCase() { QVERIFY2(m_web.start(), qPrintable(m_web.error())); }

    void init() { QVERIFY2(m_web.prepare(), qPrintable(m_web.error())); }

    // While a generation runs, polls every 250 ms relay rising values; the
    // finish stops them.
    void relaysProgressWhileGenerating()
    {
        QVERIFY(m_web.reset(0.05));
        MessageCapture capture;
        Progress progress;
        QSignalSpy values(&progress, &Progress::signal_progress_txt2img_for_c4d);
        QSignalSpy errors(&progress, &Progress::signal_progress_txt2img_error);
        QTimer* timer = pollTimer(progress);
        QVERIFY(timer);
        QVERIFY(!timer->isActive());

        QNetworkAccessManager client;
        QNetworkReply* generation =
            FakeWebUi::postTxt2img(client, R"({"prompt":"sand","width":8,"height":8,"steps":40})");
        QSignalSpy generated(generation, &QNetworkReply::finished);

        progress.start_recursiv_get_progress();
        progress.start_recursiv_get_progress(); // restarts the period; still one timer
        QCOMPARE(progress.findChildren<QTimer*>(QString(), Qt::FindDirectChildrenOnly).size(), 1);
        QVERIFY(timer->isActive());
        QCOMPARE(timer->interval(), 250);
        QVERIFY(!timer->isSingleShot());

        QVERIFY(generated.wait(60000));
        QCOMPARE(generation->error(), QNetworkReply::NoError);
        progress.post_req_txt2img_finished();
        QVERIFY(!timer->isActive());
        QVERIFY(capture.contains(
            QStringLiteral("[ void Progress::post_req_txt2img_finished() ] : TODO: STOP WHILE")));

        QVERIFY(errors.isEmpty());
        bool between = false;
        for (const QList<QVariant>& v : values) {
            const double value = v.at(0).toDouble();
            QVERIFY2(value >= 0 && value <= 1.0, qPrintable(QString::number(value)));
            between = between || (value > 0 && value < 1);
        }
        QVERIFY2(between, "no progress value seen while the image was made");
        QCOMPARE(capture.count(QStringLiteral("Progress value:")), values.count());
        QVERIFY(capture.count(QStringLiteral("[ void Progress::tick() ] : Start")) >= values.count());

        const QJsonArray polls = m_web.requests(QStringLiteral("/sdapi/v1/progress"));
        QVERIFY(polls.size() >= values.count());
        for (const QJsonValue& poll : polls) {
            QCOMPARE(poll["method"].toString(), QStringLiteral("GET"));
            QCOMPARE(poll["content_type"].toString(), QStringLiteral("application/json"));
        }
        delete generation;
    }

    void answerShapes_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("emits");
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("line");

        const QString lambda =
            QStringLiteral("[ Progress::onGetNetworkReplyFinished(QNetworkReply*)::<lambda()> ] : ");
        QTest::newRow("fraction") << QByteArray(R"({"progress": 0.35, "eta_relative": 2.5})") << true << 0.35
                                  << lambda + QStringLiteral("Progress value: 0.35");
        QTest::newRow("integer") << QByteArray(R"({"progress": 1})") << true << 1.0
                                 << lambda + QStringLiteral("Progress value: 1");
        QTest::newRow("full precision") << QByteArray(R"({"progress": 0.123456789012345})") << true
                                        << 0.123456789012345 << lambda + QStringLiteral("Progress value:");
        QTest::newRow("above one") << QByteArray(R"({"progress": 1.75})") << true << 1.75
                                   << lambda + QStringLiteral("Progress value: 1.75");
        const QString missing = lambda + QStringLiteral("Invalid JSON format or missing 'progress' key");
        QTest::newRow("string") << QByteArray(R"({"progress": "0.5"})") << false << 0.0 << missing;
        QTest::newRow("missing") << QByteArray(R"({"eta_relative": 0.2})") << false << 0.0 << missing;
        QTest::newRow("null") << QByteArray(R"({"progress": null})") << false << 0.0 << missing;
        const QString invalid = lambda + QStringLiteral("Invalid JSON format");
        QTest::newRow("empty body") << QByteArray() << false << 0.0 << invalid;
        QTest::newRow("array") << QByteArray("[0.5]") << false << 0.0 << invalid;
        QTest::newRow("not JSON") << QByteArray("progress=0.5") << false << 0.0 << invalid;
    }

    void answerShapes()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, emits);
        QFETCH(double, value);
        QFETCH(QString, line);

        QVERIFY(m_web.fault("progress", "raw", {{"status", 200}, {"body", QString::fromUtf8(body)}}));
        MessageCapture capture;
        Progress progress;
        QSignalSpy values(&progress, &Progress::signal_progress_txt2img_for_c4d);
        QSignalSpy errors(&progress, &Progress::signal_progress_txt2img_error);
        const QString bodyLine =
            QStringLiteral("[ void Progress::onGetNetworkReplyFinished(QNetworkReply*) ] :");

        progress.start_recursiv_get_progress();
        // Two answered polls: a bad answer does not stop polling.
        QTRY_VERIFY_WITH_TIMEOUT(capture.count(bodyLine) >= 2, 30000);
        progress.post_req_txt2img_finished();

        QVERIFY(errors.isEmpty());
        QVERIFY2(capture.contains(line), qPrintable(capture.lines().join('\n')));
        if (emits) {
            QVERIFY(values.count() >= 2);
            for (const QList<QVariant>& v : values)
                QCOMPARE(v.at(0).toDouble(), value);
        } else {
            QCOMPARE(values.count(), 0);
            QVERIFY(!capture.contains(QStringLiteral("Progress value:")));
        }
        // Line P carries the first 20 characters of the body.
        const QString expected = QStringLiteral("][ ") + bodyLine.mid(2) + QStringLiteral(" ") +
                                 quoted(QString::fromUtf8(body).left(20));
        bool found = false;
        for (const QString& l : capture.lines())
            found = found || (l.startsWith(QStringLiteral("[ ")) && l.endsWith(expected));
        QVERIFY2(found, qPrintable(expected));
    }

    // A failed poll reports its error once and ends polling.
    void failedPollStopsPolling_data()
    {
        QTest::addColumn<bool>("stopWebUi");
        QTest::addColumn<QString>("error");
        QTest::newRow("web UI not running") << true << QStringLiteral("Connection refused");
        QTest::newRow("HTTP 500") << false
                                  << QStringLiteral(
                                         "Error transferring %1/sdapi/v1/progress - server replied: "
                                         "Internal Server Error")
                                         .arg(FakeWebUi::baseUrl());
    }

    void failedPollStopsPolling()
    {
        QFETCH(bool, stopWebUi);
        QFETCH(QString, error);
        if (stopWebUi)
            m_web.stop();
        else
            QVERIFY(m_web.fault("progress", "error500"));

        MessageCapture capture;
        Progress progress;
        QSignalSpy errors(&progress, &Progress::signal_progress_txt2img_error);
        QSignalSpy values(&progress, &Progress::signal_progress_txt2img_for_c4d);
        QSignalSpy alive(&progress, &Progress::signal_set_status_is_stable_diffusion_run);
        progress.start_recursiv_get_progress();
        QVERIFY(errors.wait(30000));
        QCOMPARE(errors.at(0).at(0).toString(), error);
        QVERIFY(!pollTimer(progress)->isActive());
        QVERIFY(
            capture.contains(QStringLiteral("[ void Progress::onGetNetworkReplyFinished(QNetworkReply*) ] : "
                                            "Error:  %1")
                                 .arg(quoted(error))));

        // Let a probe go round the event loop: no poll is sent after the stop,
        // and each poll sent before it reports at most once.
        const QString tick = QStringLiteral("[ void Progress::tick() ] : Start");
        const int sent = capture.count(tick);
        progress.get_stable_diffusion_progress_bar();
        QVERIFY(alive.wait(30000));
        QCOMPARE(capture.count(tick), sent);
        QTRY_COMPARE_WITH_TIMEOUT(errors.count(), sent, 30000);
        QCOMPARE(values.count(), 0);
    }

    void livenessProbe_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<bool>("running");
        QTest::addColumn<QString>("line");
        const QString probe = QStringLiteral("[ void Progress::onNetworkReplyFinished(QNetworkReply*) ] : ");
        QTest::newRow("answers") << "none" << true
                                 << probe +
                                        QStringLiteral("str285 \"{\\\"progress\\\": 0.0, \\\"eta_relative");
        QTest::newRow("answers something else")
            << "raw" << true << probe + QStringLiteral("str285 \"hello\"");
        QTest::newRow("not running") << "stopped" << false
                                     << probe + QStringLiteral("str291 Error:  \"Connection refused\"");
        QTest::newRow("HTTP 500") << "error500" << false
                                  << probe + QStringLiteral("str291 Error:  \"Error transferring");
    }

    void livenessProbe()
    {
        QFETCH(QString, setup);
        QFETCH(bool, running);
        QFETCH(QString, line);
        if (setup == QLatin1String("stopped"))
            m_web.stop();
        else if (setup == QLatin1String("raw"))
            QVERIFY(m_web.fault("progress", "raw", {{"status", 200}, {"body", "hello"}}));
        else if (setup != QLatin1String("none"))
            QVERIFY(m_web.fault("progress", setup));

        MessageCapture capture;
        Progress progress;
        QSignalSpy alive(&progress, &Progress::signal_set_status_is_stable_diffusion_run);
        QSignalSpy values(&progress, &Progress::signal_progress_txt2img_for_c4d);
        QSignalSpy errors(&progress, &Progress::signal_progress_txt2img_error);
        progress.get_stable_diffusion_progress_bar();
        QVERIFY(alive.wait(30000));
        QCOMPARE(alive.count(), 1);
        QCOMPARE(alive.at(0).at(0).toBool(), running);
        // The probe is not a poll: it starts nothing and relays nothing.
        QVERIFY(!pollTimer(progress)->isActive());
        QVERIFY(values.isEmpty());
        QVERIFY(errors.isEmpty());

        const QStringList lines = capture.matching(QStringLiteral("Progress::onNetworkReplyFinished"));
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines.at(0).endsWith(QStringLiteral("] : str279 before QNetworkReply")));
        QVERIFY2(lines.at(1).contains(line), qPrintable(lines.at(1)));
        QVERIFY(lines.at(2).endsWith(QStringLiteral("] : str299 End.")));
    }
};

QTEST_MAIN(TestProgress)
#include "tst_progress.moc"
