#include "CWebReqSkip.h"
#include "FakeWebUi.h"
#include "MessageCapture.h"

#include <QJsonDocument>

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>

// CWebReqSkip against the stand-in web UI.
class TestWebReqSkip : public QObject
{
    Q_OBJECT

private:
    FakeWebUi m_web;
    const QString m_reply =
        QStringLiteral("][ void CWebReqSkip::onNetworkReplyFinished(QNetworkReply*) ] : ");

private slots:
    void initTestCase() { QVERIFY2(m_web.start(), qPrintable(m_web.error())); }

    void init() { QVERIFY2(m_web.prepare(), qPrintable(m_web.error())); }

    // Two skips in a row are two POSTs of the empty object, both logged.
    void twoSkipsSendTwoPosts()
    {
        MessageCapture capture;
        CWebReqSkip skip;
        skip.post_req_skip();
        skip.post_req_skip();
        QTRY_COMPARE_WITH_TIMEOUT(capture.count(m_reply + QStringLiteral("str299 End.")), 2, 30000);

        QCOMPARE(capture.count(QStringLiteral("][ void CWebReqSkip::post_req_skip() ] :")), 2);
        QCOMPARE(capture.count(m_reply + QStringLiteral("str121")), 2);
        QCOMPARE(capture.count(m_reply + QStringLiteral("str129 \"null\"")), 2);
        const QJsonArray posts = m_web.requests(QStringLiteral("/sdapi/v1/skip"));
        QCOMPARE(posts.size(), 2);
        for (const QJsonValue& post : posts) {
            QCOMPARE(post["method"].toString(), QStringLiteral("POST"));
            QCOMPARE(post["content_type"].toString(), QStringLiteral("application/json"));
            QCOMPARE(post["body"].toString(), QStringLiteral("{\n}\n"));
        }
    }

    // The skip reaches the running generation: a job far too long to finish
    // in the test's time answers once skipped.
    void skipEndsTheRunningImage()
    {
        QVERIFY(m_web.reset(0.05));
        QNetworkAccessManager client;
        QNetworkReply* generation =
            FakeWebUi::postTxt2img(client, R"({"prompt":"endless","width":8,"height":8,"steps":100000})");
        QSignalSpy generated(generation, &QNetworkReply::finished);
        QTRY_VERIFY_WITH_TIMEOUT(m_web.status().value(QStringLiteral("running")).toBool(), 30000);

        MessageCapture capture;
        CWebReqSkip skip;
        skip.post_req_skip();
        QVERIFY(generated.wait(60000));
        QCOMPARE(generation->error(), QNetworkReply::NoError);
        const QJsonObject answer = QJsonDocument::fromJson(generation->readAll()).object();
        QCOMPARE(answer.value(QStringLiteral("images")).toArray().size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(capture.contains(m_reply + QStringLiteral("str299 End.")), 30000);
        delete generation;
    }

    void failedSkipIsOnlyLogged()
    {
        m_web.stop();
        MessageCapture capture;
        CWebReqSkip skip;
        skip.post_req_skip();
        QTRY_VERIFY_WITH_TIMEOUT(capture.contains(m_reply + QStringLiteral("str299 End.")), 30000);
        QVERIFY(capture.contains(m_reply + QStringLiteral("str135 Error:  \"Connection refused\"")));
        QVERIFY(!capture.contains(m_reply + QStringLiteral("str129")));
    }
};

QTEST_MAIN(TestWebReqSkip)
#include "tst_webreqskip.moc"
