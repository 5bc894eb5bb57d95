#include "FakeWebUi.h"
#include "MessageCapture.h"
#include "Progress.h"
#include "SettingsStore.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QScopedPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

// Progress poller and liveness probe against the stand-in web UI.
class TestProgress : public QObject
{
    Q_OBJECT

private:
    FakeWebUi m_web;
    QTemporaryDir m_registry;
    const QString kPollPath = QStringLiteral("/sdapi/v1/progress?skip_current_image=true");

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

    // While requests are with the web UI, polls every 250 ms relay rising
    // values; polling ends when the last request is answered.
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

        // Two requests: the second restarts the period; still one timer.
        progress.start_recursiv_get_progress();
        progress.start_recursiv_get_progress();
        QCOMPARE(progress.findChildren<QTimer*>(QString(), Qt::FindDirectChildrenOnly).size(), 1);
        QVERIFY(timer->isActive());
        QCOMPARE(timer->interval(), 250);
        QVERIFY(!timer->isSingleShot());

        QVERIFY(generated.wait(60000));
        QCOMPARE(generation->error(), QNetworkReply::NoError);
        progress.txt2img_answered();
        QVERIFY2(timer->isActive(), "polling stopped while a request is still with the web UI");
        // A store's end does not stop polling for a request still running.
        progress.post_req_txt2img_finished();
        QVERIFY(timer->isActive());
        QVERIFY(capture.contains(
            QStringLiteral("[ void Progress::post_req_txt2img_finished() ] : TODO: STOP WHILE")));
        progress.txt2img_answered();
        QVERIFY(!timer->isActive());

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

        // Polls ask the web UI to leave its preview image out.
        QCOMPARE(m_web.requests(QStringLiteral("/sdapi/v1/progress")).size(), 0);
        const QJsonArray polls = m_web.requests(kPollPath);
        QVERIFY(polls.size() >= values.count());
        for (const QJsonValue& poll : polls) {
            QCOMPARE(poll["method"].toString(), QStringLiteral("GET"));
            QCOMPARE(poll["content_type"].toString(), QStringLiteral("application/json"));
        }
        delete generation;
    }

    // A slow progress endpoint gets no second poll before it answers the first.
    void onePollAtATime()
    {
        QVERIFY(m_web.fault("progress", "slow", {{"seconds", 0.8}}));
        MessageCapture capture;
        Progress progress;
        QSignalSpy values(&progress, &Progress::signal_progress_txt2img_for_c4d);
        const QString sent = QStringLiteral("[ void Progress::tick() ] : Start");
        progress.start_recursiv_get_progress();
        for (int answered = 1; answered <= 3; ++answered) {
            QTRY_COMPARE_WITH_TIMEOUT(values.count(), answered, 30000);
            QVERIFY2(capture.count(sent) <= answered + 1, qPrintable(capture.lines().join('\n')));
        }
        QVERIFY(m_web.requests(kPollPath).size() <= 4);
        progress.txt2img_answered();
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
        progress.txt2img_answered();

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

    // Failed polls are reported only when the web UI stays unreachable: after
    // that many in a row, one error, and polling ends.
    void unreachableAfterFailedPollsInARow_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("failures");  // of the stand-in's progress endpoint; 0: all
        QTest::addColumn<QString>("error"); // empty: none reported
        const QString prefix = QStringLiteral("The web UI cannot be reached: ");
        QTest::newRow("web UI not running")
            << "stopped" << 0 << prefix + QStringLiteral("Connection refused");
        QTest::newRow("HTTP 500") << "error500" << 0
                                  << prefix +
                                         QStringLiteral(
                                             "Error transferring %1/sdapi/v1/progress?skip_current_image=true"
                                             " - server replied: Internal Server Error")
                                             .arg(FakeWebUi::baseUrl());
        QTest::newRow("one failure") << "error500" << 1 << QString();
        QTest::newRow("one short of the rule") << "error500" << Progress::unreachablePolls - 1 << QString();
    }

    void unreachableAfterFailedPollsInARow()
    {
        QFETCH(QString, setup);
        QFETCH(int, failures);
        QFETCH(QString, error);
        if (setup == QLatin1String("stopped"))
            m_web.stop();
        else if (failures > 0)
            QVERIFY(m_web.fault("progress", setup, {{"count", failures}}));
        else
            QVERIFY(m_web.fault("progress", setup));

        MessageCapture capture;
        Progress progress;
        QSignalSpy errors(&progress, &Progress::signal_progress_txt2img_error);
        QSignalSpy values(&progress, &Progress::signal_progress_txt2img_for_c4d);
        QSignalSpy alive(&progress, &Progress::signal_set_status_is_stable_diffusion_run);
        const QString failed =
            QStringLiteral("[ void Progress::onGetNetworkReplyFinished(QNetworkReply*) ] : Error: ");
        progress.start_recursiv_get_progress();

        if (error.isEmpty()) {
            // The web UI answers again: values flow, nothing is reported.
            QTRY_VERIFY_WITH_TIMEOUT(values.count() >= 2, 30000);
            QCOMPARE(capture.count(failed), failures);
            QVERIFY(errors.isEmpty());
            QVERIFY(pollTimer(progress)->isActive());
            progress.txt2img_answered();
            return;
        }
        QVERIFY(errors.wait(30000));
        QCOMPARE(errors.at(0).at(0).toString(), error);
        QVERIFY(!pollTimer(progress)->isActive());
        QCOMPARE(capture.count(failed), Progress::unreachablePolls);

        // Let a probe go round the event loop: no poll is sent after giving
        // up, and nothing more is reported.
        const QString tick = QStringLiteral("[ void Progress::tick() ] : Start");
        const int sent = capture.count(tick);
        progress.get_stable_diffusion_progress_bar();
        QVERIFY(alive.wait(30000));
        QCOMPARE(capture.count(tick), sent);
        QCOMPARE(errors.count(), 1);
        QCOMPARE(values.count(), 0);
    }

    // A web UI that makes no progress for the stall limit is given up on.
    void stalledWebUiIsGivenUp_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("stalls");
        QTest::newRow("value unchanged") << "raw" << true;
        QTest::newRow("poll not answered") << "hang" << true;
        QTest::newRow("value rising") << "none" << false;
    }

    void stalledWebUiIsGivenUp()
    {
        QFETCH(QString, kind);
        QFETCH(bool, stalls);
        QVERIFY(m_registry.isValid());
        qputenv("TRAYBRIDGE_REGISTRY_ROOT", QFile::encodeName(m_registry.path()));
        QVERIFY(SettingsStore::write(m_registry.path(), Progress::stallSetting, "1"));

        QNetworkAccessManager client;
        QScopedPointer<QNetworkReply> generation;
        if (kind == QLatin1String("raw")) {
            QVERIFY(m_web.fault("progress", "raw", {{"status", 200}, {"body", R"({"progress": 0.25})"}}));
        } else if (kind == QLatin1String("hang")) {
            QVERIFY(m_web.fault("progress", "hang"));
        } else {
            // Each step takes less than the limit.
            QVERIFY(m_web.reset(0.3));
            generation.reset(
                FakeWebUi::postTxt2img(client, R"({"prompt":"dune","width":8,"height":8,"steps":12})"));
        }

        MessageCapture capture;
        Progress progress;
        QSignalSpy errors(&progress, &Progress::signal_progress_txt2img_error);
        QSignalSpy values(&progress, &Progress::signal_progress_txt2img_for_c4d);
        progress.start_recursiv_get_progress();
        if (!stalls) {
            QSignalSpy generated(generation.data(), &QNetworkReply::finished);
            QVERIFY(generated.wait(60000));
            QVERIFY2(errors.isEmpty(), qPrintable(errors.value(0).value(0).toString()));
            QVERIFY(values.count() >= 4);
            progress.txt2img_answered();
            return;
        }
        QVERIFY(errors.wait(30000));
        QCOMPARE(errors.at(0).at(0).toString(),
                 QStringLiteral("The web UI made no progress for 1 seconds; the request was abandoned."));
        QVERIFY(!pollTimer(progress)->isActive());
        // A value unchanged since the first one is not progress.
        QCOMPARE(values.count(),
                 kind == QLatin1String("raw") ? capture.count(QStringLiteral("Progress value:")) : 0);
        QVERIFY(m_web.reset()); // releases the hung poll
        QCOMPARE(errors.count(), 1);
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
