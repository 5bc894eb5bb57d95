// Splitting traybridge's unframed byte stream into messages, however the bytes
// are cut into reads.

#include "StreamParser.h"

#include <QtTest>

namespace {

QString describe(const StreamEvent& event)
{
    switch (event.kind) {
    case StreamEvent::Kind::Started:
        return QStringLiteral("started");
    case StreamEvent::Kind::Progress:
        return QStringLiteral("progress ") + event.text +
               (event.valueOk ? QString() : QStringLiteral(" (bad)"));
    case StreamEvent::Kind::Saved:
        return QStringLiteral("saved ") + event.text;
    case StreamEvent::Kind::Text:
        return QStringLiteral("text ") + event.text;
    }
    return QString();
}

QStringList describe(const QList<StreamEvent>& events)
{
    QStringList lines;
    for (const StreamEvent& event : events)
        lines << describe(event);
    return lines;
}

} // namespace

class TestStreamParser : public QObject
{
    Q_OBJECT
private slots:
    void wholeStream_data();
    void wholeStream();
    void quiet_data();
    void quiet();
    void progressValues_data();
    void progressValues();
};

void TestStreamParser::wholeStream_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("reply, progress, saved")
        << QByteArray("IMAGE_GENERATION_PROCESS_STARTED"
                      "PROGRESS_TXT2IMG:0.35PROGRESS_TXT2IMG:1"
                      "IMAGE_SAVED_SUCCESSFULLY: /h/Documents/AI_TEXTURES/FULL_RES/1700000000123.png")
        << QStringList{"started", "progress 0.35", "progress 1",
                       "saved /h/Documents/AI_TEXTURES/FULL_RES/1700000000123.png"};
    QTest::newRow("progress after the saved path")
        << QByteArray("PROGRESS_TXT2IMG:0.95IMAGE_SAVED_SUCCESSFULLY: C:\\Users\\u\\Documents\\AI_TEXTURES\\"
                      "FULL_RES\\17.pngPROGRESS_TXT2IMG:1")
        << QStringList{"progress 0.95", "saved C:\\Users\\u\\Documents\\AI_TEXTURES\\FULL_RES\\17.png",
                       "progress 1"};
    QTest::newRow("exponent then error text")
        << QByteArray("PROGRESS_TXT2IMG:1e-05PROGRESS_TXT2IMG:2.5e+10Connection refused")
        << QStringList{"progress 1e-05", "progress 2.5e+10", "text Connection refused"};
    QTest::newRow("error text with a lowercase start after a value")
        << QByteArray("PROGRESS_TXT2IMG:0.5error: the web UI went away")
        << QStringList{"progress 0.5", "text error: the web UI went away"};
    QTest::newRow("status reply between notifications")
        << QByteArray("PROGRESS_TXT2IMG:0.5STABLE_DIFFUSION_LAUNCH_PROCESS : 12PROGRESS_TXT2IMG:0.75")
        << QStringList{"progress 0.5", "text STABLE_DIFFUSION_LAUNCH_PROCESS : 12", "progress 0.75"};
    QTest::newRow("load status reply is one text")
        << QByteArray("RESPONSE_STATUS_LOADSTABLE_DIFFUSION_WORK")
        << QStringList{"text RESPONSE_STATUS_LOADSTABLE_DIFFUSION_WORK"};
    QTest::newRow("error text after the saved path")
        << QByteArray("IMAGE_SAVED_SUCCESSFULLY: /p/1.pngOperation canceled")
        << QStringList{"saved /p/1.png", "text Operation canceled"};
    QTest::newRow("non-ASCII path") << QByteArray("IMAGE_SAVED_SUCCESSFULLY: /home/пользователь/x/1.png")
                                    << QStringList{QString::fromUtf8("saved /home/пользователь/x/1.png")};
    QTest::newRow("lead without a value") << QByteArray("PROGRESS_TXT2IMG:Connection closed")
                                          << QStringList{"progress  (bad)", "text Connection closed"};
    QTest::newRow("a lead cut short at the end stays text")
        << QByteArray("MSG_PING_SYSTRAY_GUIPROGRESS_TX")
        << QStringList{"text MSG_PING_SYSTRAY_GUIPROGRESS_TX"};
}

// Every way of cutting the stream into two reads, and a read per byte, give
// the same messages as the whole stream in one read.
void TestStreamParser::wholeStream()
{
    QFETCH(QByteArray, stream);
    QFETCH(QStringList, expected);

    StreamParser whole;
    whole.feed(stream);
    whole.finish();
    QCOMPARE(describe(whole.takeEvents()), expected);

    for (int cut = 1; cut < stream.size(); ++cut) {
        StreamParser parser;
        parser.feed(stream.left(cut));
        QStringList got = describe(parser.takeEvents());
        parser.feed(stream.mid(cut));
        parser.finish();
        got += describe(parser.takeEvents());
        QVERIFY2(got == expected,
                 qPrintable(QStringLiteral("cut at %1: ").arg(cut) + got.join(QLatin1String(" | "))));
    }

    StreamParser bytewise;
    QStringList got;
    for (char c : stream) {
        bytewise.feed(QByteArray(1, c));
        got += describe(bytewise.takeEvents());
    }
    bytewise.finish();
    got += describe(bytewise.takeEvents());
    QCOMPARE(got, expected);
}

void TestStreamParser::quiet_data()
{
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<QStringList>("settled");
    QTest::addColumn<bool>("pending");

    QTest::newRow("reply alone") << QByteArray("MSG_PING_SYSTRAY_GUI")
                                 << QStringList{"text MSG_PING_SYSTRAY_GUI"} << false;
    QTest::newRow("last value") << QByteArray("PROGRESS_TXT2IMG:0.5PROGRESS_TXT2IMG:0.75")
                                << QStringList{"progress 0.5", "progress 0.75"} << false;
    QTest::newRow("value that cannot end here")
        << QByteArray("PROGRESS_TXT2IMG:0.5PROGRESS_TXT2IMG:1e-") << QStringList{"progress 0.5"} << true;
    QTest::newRow("path that has not reached .png")
        << QByteArray("IMAGE_SAVED_SUCCESSFULLY: /home/u/Documents/AI_TEX") << QStringList{} << true;
    QTest::newRow("whole path") << QByteArray("IMAGE_SAVED_SUCCESSFULLY: /home/u/FULL_RES/1.png")
                                << QStringList{"saved /home/u/FULL_RES/1.png"} << false;
    QTest::newRow("lead cut short") << QByteArray("PROGRESS_TXT2IMG:0.5IMAGE_SAVED_SUC")
                                    << QStringList{"progress 0.5"} << true;
    QTest::newRow("text followed by a lead cut short")
        << QByteArray("Connection refusedPROGRESS_") << QStringList{"text Connection refused"} << true;
}

// A quiet stream settles what looks whole and keeps what may still go on.
void TestStreamParser::quiet()
{
    QFETCH(QByteArray, received);
    QFETCH(QStringList, settled);
    QFETCH(bool, pending);

    StreamParser parser;
    parser.feed(received);
    parser.flush();
    QCOMPARE(describe(parser.takeEvents()), settled);
    QCOMPARE(parser.hasPending(), pending);
}

void TestStreamParser::progressValues_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<double>("value");

    QTest::newRow("0.35") << QByteArray("PROGRESS_TXT2IMG:0.35") << 0.35;
    QTest::newRow("1") << QByteArray("PROGRESS_TXT2IMG:1") << 1.0;
    QTest::newRow("0") << QByteArray("PROGRESS_TXT2IMG:0") << 0.0;
    QTest::newRow("1e-05") << QByteArray("PROGRESS_TXT2IMG:1e-05") << 0.00001;
    QTest::newRow("0.123457") << QByteArray("PROGRESS_TXT2IMG:0.123457") << 0.123457;
}

void TestStreamParser::progressValues()
{
    QFETCH(QByteArray, stream);
    QFETCH(double, value);

    StreamParser parser;
    parser.feed(stream);
    parser.finish();
    const QList<StreamEvent> events = parser.takeEvents();
    QCOMPARE(events.size(), 1);
    QCOMPARE(events.first().kind, StreamEvent::Kind::Progress);
    QVERIFY(events.first().valueOk);
    QCOMPARE(events.first().value, value);
}

QTEST_GUILESS_MAIN(TestStreamParser)
#include "tst_streamparser.moc"
