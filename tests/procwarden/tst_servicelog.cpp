// The service log: line shape, time stamp, appending and concurrent writers.
#include "ServiceLog.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {
std::atomic<std::time_t> g_now{0};

std::time_t fixedClock()
{
    return g_now.load();
}

void setTimeZone(const char* zone)
{
    qputenv("TZ", zone);
    tzset();
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<cannot read ") + path.toLocal8Bit() + ">";
    return file.readAll();
}

// Runs body with the standard error stream going to a file; returns what it wrote.
template <typename Body> QByteArray captureStderr(const QString& file, Body body)
{
    std::fflush(stderr);
    const int saved = ::dup(2);
    const int fd = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 2);
    ::close(fd);
    body();
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    return readAll(file);
}
} // namespace

class TestServiceLog : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(QDir::setCurrent(m_dir.path()));
        QFile::remove(logPath());
        setLogClock(fixedClock);
    }

    void cleanup()
    {
        setLogClock(nullptr);
        setTimeZone("UTC");
        QDir::setCurrent(QDir::tempPath());
    }

    void lineShape_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<qint64>("time");
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QByteArray>("expected");

        // 2025-12-09 14:03:21 UTC
        QTest::newRow("plain") << QByteArray("UTC") << qint64(1765289001) << QByteArray("hello")
                               << QByteArray("[Tue Dec  9 14:03:21 2025] hello\n");
        QTest::newRow("day below ten, hour with zero")
            << QByteArray("UTC") << qint64(1738566309) << QByteArray("x")
            << QByteArray("[Mon Feb  3 07:05:09 2025] x\n");
        QTest::newRow("two-digit day") << QByteArray("UTC") << qint64(1760097600) << QByteArray("x")
                                       << QByteArray("[Fri Oct 10 12:00:00 2025] x\n");
        QTest::newRow("local time, not UTC")
            << QByteArray("XYZ-3") << qint64(1765289001) << QByteArray("hello")
            << QByteArray("[Tue Dec  9 17:03:21 2025] hello\n");
        QTest::newRow("local time across midnight")
            << QByteArray("XYZ+15") << qint64(1738566309) << QByteArray("x")
            << QByteArray("[Sun Feb  2 16:05:09 2025] x\n");
        QTest::newRow("ends with a line break: empty line follows")
            << QByteArray("UTC") << qint64(1765289001)
            << QByteArray("[ServiceCtrlHandler] : before switch \n")
            << QByteArray("[Tue Dec  9 14:03:21 2025] [ServiceCtrlHandler] : before switch \n\n");
        QTest::newRow("inner line break: continues without a stamp")
            << QByteArray("UTC") << qint64(1765289001) << QByteArray("Error opening key \n<SOFTWARE>")
            << QByteArray("[Tue Dec  9 14:03:21 2025] Error opening key \n<SOFTWARE>\n");
        QTest::newRow("empty message") << QByteArray("UTC") << qint64(1765289001) << QByteArray()
                                       << QByteArray("[Tue Dec  9 14:03:21 2025] \n");
    }

    void lineShape()
    {
        QFETCH(QByteArray, zone);
        QFETCH(qint64, time);
        QFETCH(QByteArray, message);
        QFETCH(QByteArray, expected);
        setTimeZone(zone.constData());
        g_now = static_cast<std::time_t>(time);

        QCOMPARE(logStamp(g_now).size(), std::size_t(24));
        writeLog(message.toStdString());
        QCOMPARE(readAll(logPath()), expected);
    }

    void createsThenAppends()
    {
        setTimeZone("UTC");
        g_now = 1765289001;
        QVERIFY(!QFile::exists(logPath()));
        writeLog("first");
        QCOMPARE(readAll(logPath()), QByteArray("[Tue Dec  9 14:03:21 2025] first\n"));

        // Content of an earlier run, not ending in a line end, stays as it is.
        QFile file(logPath());
        QVERIFY(file.open(QIODevice::Append));
        file.write("left by another writer");
        file.close();
        g_now = 1765289002;
        writeLog("second");
        QCOMPARE(readAll(logPath()), QByteArray("[Tue Dec  9 14:03:21 2025] first\n"
                                                "left by another writer"
                                                "[Tue Dec  9 14:03:22 2025] second\n"));
    }

    void systemClockByDefault()
    {
        setLogClock(nullptr);
        const std::time_t before = std::time(nullptr);
        writeLog("now");
        const std::time_t after = std::time(nullptr);
        const QByteArray line = readAll(logPath());
        QVERIFY2(line == "[" + QByteArray::fromStdString(logStamp(before)) + "] now\n" ||
                     line == "[" + QByteArray::fromStdString(logStamp(after)) + "] now\n",
                 line.constData());
    }

    void unopenableLogLosesOnlyTheLine()
    {
        // A folder where the file should be: the line cannot be written.
        QVERIFY(QDir().mkdir(logPath()));
        const QByteArray err = captureStderr(m_dir.filePath("stderr.txt"), [] { writeLog("lost"); });
        QCOMPARE(err, QByteArray("Unable to open log file.\n"));
        QVERIFY(QFileInfo(logPath()).isDir());
        QVERIFY(QDir().rmdir(logPath()));

        writeLog("kept");
        QVERIFY(readAll(logPath()).endsWith("] kept\n"));
    }

    void concurrentWritersKeepWholeLines()
    {
        setTimeZone("UTC");
        g_now = 1765289001;
        constexpr int threads = 4;
        constexpr int lines = 300;
        std::vector<std::thread> writers;
        for (int t = 0; t < threads; ++t)
            writers.emplace_back([t] {
                for (int i = 0; i < lines; ++i)
                    writeLog("writer " + std::to_string(t) + " line " + std::to_string(i) + " " +
                             std::string(200, char('a' + t)));
            });
        for (std::thread& writer : writers)
            writer.join();

        const QList<QByteArray> written = readAll(logPath()).split('\n');
        QCOMPARE(written.size(), threads * lines + 1);
        QVERIFY(written.last().isEmpty());
        QVector<int> next(threads, 0);
        for (int i = 0; i < written.size() - 1; ++i) {
            const QByteArray& line = written.at(i);
            const QList<QByteArray> words = line.mid(27).split(' ');
            QVERIFY2(line.startsWith("[Tue Dec  9 14:03:21 2025] writer ") && words.size() == 5,
                     line.constData());
            const int t = words.at(1).toInt();
            QVERIFY(t >= 0 && t < threads);
            // Each writer's lines are whole and in its own order.
            QCOMPARE(words.at(3).toInt(), next[t]++);
            QCOMPARE(words.at(4), QByteArray(200, char('a' + t)));
        }
    }

private:
    QString logPath() const { return m_dir.filePath(QStringLiteral("log.txt")); }

    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestServiceLog)
#include "tst_servicelog.moc"
