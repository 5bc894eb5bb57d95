// The log file beside Qt's message output: real date and time on each line,
// every line passed on, rotation under writers on several threads.
#include "LogFile.h"
#include "MessageCapture.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>
#include <vector>

namespace {

QStringList readLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

const QRegularExpression lineShape(QStringLiteral(
    "^(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}) (debug|info|warning|critical) (.*)$"));

} // namespace

class TstLogFile : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void linesGoToFileWithTimeAndOnward();
    void rotatesAndKeepsOldFiles();
    void unwritablePlaceLosesOnlyTheFile();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<MessageCapture> m_capture;
};

void TstLogFile::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    // The capture stands for Qt's default output: the log file passes lines on to it.
    m_capture.reset(new MessageCapture);
}

void TstLogFile::cleanup()
{
    LogFile::uninstall();
    m_capture.reset();
}

void TstLogFile::linesGoToFileWithTimeAndOnward()
{
#ifdef Q_OS_WIN
    // %LOCALAPPDATA%\traybridge\traybridge.log
    QVERIFY2(LogFile::defaultPath().endsWith(QStringLiteral("/AppData/Local/traybridge/traybridge.log")),
             qPrintable(LogFile::defaultPath()));
    QFile::remove(LogFile::defaultPath());
#else
    qputenv("XDG_STATE_HOME", QFile::encodeName(m_dir->path() + QStringLiteral("/state")));
    QCOMPARE(LogFile::defaultPath(), m_dir->path() + QStringLiteral("/state/traybridge/traybridge.log"));
#endif
    LogFile::install();
    QCOMPARE(LogFile::path(), LogFile::defaultPath());

    const QDateTime before = QDateTime::currentDateTime().addMSecs(-1);
    qDebug() << "first" << 42;
    qWarning("second, with a warning");
    qCritical().noquote() << QStringLiteral("третья строка");
    const QDateTime after = QDateTime::currentDateTime().addMSecs(1);

    const QStringList lines = readLines(LogFile::path());
    QCOMPARE(lines.size(), 3);
    const QStringList levels{QStringLiteral("debug"), QStringLiteral("warning"), QStringLiteral("critical")};
    const QStringList texts{QStringLiteral("first 42"), QStringLiteral("second, with a warning"),
                            QStringLiteral("третья строка")};
    for (int i = 0; i < lines.size(); ++i) {
        const QRegularExpressionMatch m = lineShape.match(lines.at(i));
        QVERIFY2(m.hasMatch(), qPrintable(lines.at(i)));
        const QDateTime at = QDateTime::fromString(m.captured(1), QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
        QVERIFY2(at >= before && at <= after, qPrintable(lines.at(i)));
        QCOMPARE(m.captured(2), levels.at(i));
        QCOMPARE(m.captured(3), texts.at(i));
    }
    // Every line still reaches the output installed before, unchanged.
    QCOMPARE(m_capture->lines(), texts);

    // Given back: later lines no longer reach the file.
    LogFile::uninstall();
    qDebug() << "after";
    QCOMPARE(readLines(LogFile::defaultPath()).size(), 3);
    QCOMPARE(m_capture->count(QStringLiteral("after")), 1);
}

void TstLogFile::rotatesAndKeepsOldFiles()
{
    const QString path = m_dir->path() + QStringLiteral("/traybridge.log");
    const qint64 maxBytes = 4000;
    const int keep = 2;
    LogFile::install(path, maxBytes, keep);

    const int threads = 4;
    const int perThread = 600;
    std::vector<std::unique_ptr<QThread>> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back(QThread::create([t] {
            for (int n = 0; n < perThread; ++n)
                qDebug().noquote() << QStringLiteral("writer %1 line %2 ..........").arg(t).arg(n);
        }));
        writers.back()->start();
    }
    for (auto& writer : writers)
        QVERIFY(writer->wait(60000));

    QVERIFY(QFile::exists(path));
    QVERIFY(QFile::exists(path + QStringLiteral(".1")));
    QVERIFY(QFile::exists(path + QStringLiteral(".2")));
    QVERIFY(!QFile::exists(path + QStringLiteral(".3")));

    // Oldest first; each file within the limit and made of whole lines.
    QStringList all;
    for (const QString& file : {path + QStringLiteral(".2"), path + QStringLiteral(".1"), path}) {
        QVERIFY(QFileInfo(file).size() <= maxBytes);
        all += readLines(file);
    }
    // An old file was full: the next line would not have fitted.
    for (const QString& file : {path + QStringLiteral(".2"), path + QStringLiteral(".1")})
        QVERIFY2(QFileInfo(file).size() > maxBytes - 100, qPrintable(file));
    static const QRegularExpression writerLine(QStringLiteral(" debug writer (\\d) line (\\d+) \\.{10}$"));
    QList<int> next;
    for (int t = 0; t < threads; ++t)
        next << -1;
    for (const QString& line : qAsConst(all)) {
        QVERIFY2(lineShape.match(line).hasMatch(), qPrintable(line));
        const QRegularExpressionMatch m = writerLine.match(line);
        QVERIFY2(m.hasMatch(), qPrintable(line));
        const int t = m.captured(1).toInt();
        const int n = m.captured(2).toInt();
        // The kept files hold each writer's latest lines without a gap.
        if (next.at(t) >= 0)
            QCOMPARE(n, next.at(t));
        next[t] = n + 1;
    }
    // A writer whose lines are still kept ends with its last line; a writer
    // that finished early may have rotated out entirely.
    int present = 0;
    for (int t = 0; t < threads; ++t) {
        if (next.at(t) >= 0) {
            ++present;
            QCOMPARE(next.at(t), perThread);
        }
    }
    QVERIFY(present >= 1);
    // Every line went on to the output as well.
    QCOMPARE(m_capture->count(QStringLiteral("writer ")), threads * perThread);
}

void TstLogFile::unwritablePlaceLosesOnlyTheFile()
{
    // A folder that cannot be made: its parent is a file.
    const QString blocker = m_dir->path() + QStringLiteral("/not-a-folder");
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    LogFile::install(blocker + QStringLiteral("/traybridge.log"));
    qDebug() << "still shown";
    qWarning() << "also shown";
    QCOMPARE(m_capture->count(QStringLiteral("still shown")), 1);
    QCOMPARE(m_capture->count(QStringLiteral("also shown")), 1);
    QCOMPARE(QFileInfo(blocker).size(), 0);
}

QTEST_GUILESS_MAIN(TstLogFile)
#include "tst_logfile.moc"
