// The launcher with real child programs: exit codes, output, the waits and
// the lines it writes.
#include "CStableDiffusionManger.h"
#include "MessageCapture.h"
#include "RelocatedTestMain.h"
#include "UtilityManager.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <thread>

class TestUtilityManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void execResults_data();
    void execResults();
    void procStartLine_data();
    void procStartLine();
    void startUtilityLines_data();
    void startUtilityLines();
    void programOutlivingTheWaitIsLeftRunning();

private:
    // Writes an executable shell script; an empty body gives a path to no file.
    QString script(const QByteArray& body, bool executable = true);
    static QByteArray readFile(const QString& path);
    // The own items of the launcher's lines, prefix taken off.
    static QStringList launcherItems(const MessageCapture& capture);

    QTemporaryDir m_dir;
    int m_scripts = 0;
};

void TestUtilityManager::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // The program waits 30 s for the end.
    QCOMPARE(UtilityManager::wait(), 30000);
}

QByteArray TestUtilityManager::readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TestUtilityManager::cleanup()
{
    UtilityManager::setWaitForTests(UtilityManager::waitMs);
}

QString TestUtilityManager::script(const QByteArray& body, bool executable)
{
    const QString path = m_dir.filePath(QStringLiteral("program %1.sh").arg(++m_scripts));
    if (body.isEmpty())
        return path;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write("#!/bin/sh\n" + body + "\n");
    file.close();
    if (executable)
        file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
    return path;
}

QStringList TestUtilityManager::launcherItems(const MessageCapture& capture)
{
    static const QRegularExpression prefix(QStringLiteral(
        R"(^\[ \d\d:\d\d:\d\d \]\[ static void UtilityManager::startUtility\(const string&\) \] : (.*)$)"));
    QStringList items;
    for (const QString& line : capture.lines()) {
        const QRegularExpressionMatch match = prefix.match(line);
        if (match.hasMatch())
            items.append(match.captured(1));
    }
    return items;
}

void TestUtilityManager::execResults_data()
{
    QTest::addColumn<QByteArray>("body"); // empty: no such file
    QTest::addColumn<bool>("executable");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("output");

    QTest::newRow("ends at once with 0")
        << QByteArray("echo hello") << true << QStringList() << 0 << "hello\n";
    QTest::newRow("non-zero code") << QByteArray("echo failing; exit 7") << true << QStringList() << 7
                                   << "failing\n";
    QTest::newRow("crash gives 1 and the output read")
        << QByteArray("echo before; kill -SEGV $$") << true << QStringList() << 1 << "before\n";
    QTest::newRow("zero byte cuts the output")
        << QByteArray(R"(printf 'abc\000def')") << true << QStringList() << 0 << "abc";
    QTest::newRow("output decoded as UTF-8") << QByteArray(R"(printf 'Gr\303\274\303\237e')") << true
                                             << QStringList() << 0 << QString::fromUtf8("Grüße");
    // Both go to the log, where the status model looks for runtime errors.
    QTest::newRow("standard error is output too")
        << QByteArray("echo out; echo err >&2; exit 3") << true << QStringList() << 3 << "out\nerr\n";
    QTest::newRow("arguments reach the program") << QByteArray(R"(printf '%s|' "$@")") << true
                                                 << QStringList{"one", "two words"} << 0 << "one|two words|";
    QTest::newRow("missing file") << QByteArray() << true << QStringList() << 1 << "Error";
    QTest::newRow("not executable") << QByteArray("echo never") << false << QStringList() << 1 << "Error";
}

void TestUtilityManager::execResults()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, executable);
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QString, output);

    const QString program = script(body, executable);
    QVERIFY(!program.isEmpty());
    // The output is appended to the log; what was there stays.
    const QString log = m_dir.filePath(QStringLiteral("exec %1.log").arg(m_scripts));
    QFile before(log);
    QVERIFY(before.open(QIODevice::WriteOnly));
    before.write("1");
    before.close();
    bool leftRunning = true;
    const std::pair<int, QString> result = exec(program, args, log, &leftRunning);
    QCOMPARE(result.first, code);
    QCOMPARE(result.second, output);
    QVERIFY(!leftRunning);
    if (result.second != QLatin1String("Error"))
        QVERIFY(readFile(log).startsWith("1" + output.toUtf8()));
}

void TestUtilityManager::procStartLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("tail"); // what follows the quoted program

    // Items: "] : Proc.start: ", the program quoted, " ", the argument text.
    QTest::newRow("no arguments: an empty item") << QStringList() << "   ";
    QTest::newRow("arguments, each after a blank") << QStringList{"one", "two words"} << "    one two words";
}

void TestUtilityManager::procStartLine()
{
    QFETCH(QStringList, args);
    QFETCH(QString, tail);

    const QString program = script("exit 0");
    MessageCapture capture;
    QCOMPARE(exec(program, args).first, 0);
    QCOMPARE(
        capture.matching(QStringLiteral("Proc.start")),
        QStringList{QStringLiteral("[ exec ] : Proc.start:  \"") + program + QStringLiteral("\"") + tail});
}

void TestUtilityManager::startUtilityLines_data()
{
    QTest::addColumn<QByteArray>("body"); // empty: no such file
    QTest::addColumn<QString>("ret");

    QTest::newRow("ends with 0") << QByteArray("echo started") << R"(Ret.first:  0 Ret.second:  "started\n")";
    QTest::newRow("ends with 2") << QByteArray("exit 2") << R"(Ret.first:  2 Ret.second:  "")";
    QTest::newRow("missing file") << QByteArray() << R"(Ret.first:  1 Ret.second:  "Error")";
}

void TestUtilityManager::startUtilityLines()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, ret);

    const QString program = script(body);
    MessageCapture capture;
    UtilityManager::startUtility(program.toStdString());

    QStringList expected{QStringLiteral("before run utilityPath= ") + program, ret};
    if (!ret.startsWith(QLatin1String("Ret.first:  0 ")))
        expected.append(QStringLiteral("AHTUNG RUN utilityPath= ") + program);
    expected.append(QStringLiteral("End BEFORE EXIT run utilityPath= ") + program);
    QCOMPARE(launcherItems(capture), expected);
}

// A start script that runs the web UI in the foreground: when the wait runs
// out it is left running with its children, and what they write later still
// reaches the start log.
void TestUtilityManager::programOutlivingTheWaitIsLeftRunning()
{
    UtilityManager::setWaitForTests(1000);
    const QString pids = m_dir.filePath(QStringLiteral("pids"));
    const QString go = m_dir.filePath(QStringLiteral("go"));
    QFile::remove(go);
    const QString program = script("sleep 600 & echo $$ $! > '" + pids.toUtf8() +
                                   "'; echo waiting; echo oops >&2\n"
                                   "while [ ! -e '" +
                                   go.toUtf8() +
                                   "' ]; do sleep 0.05; done\n"
                                   "echo later; kill $!");
    QFile::remove(startLogPath());

    // As the status manager does: on a plain thread of its own.
    MessageCapture capture;
    std::thread launch([program] { UtilityManager::startUtility(program.toStdString()); });
    launch.join();

    QCOMPARE(launcherItems(capture),
             (QStringList{QStringLiteral("before run utilityPath= ") + program,
                          QStringLiteral("still running after 1000 ms, left running; its output goes to \"") +
                              startLogPath() + QLatin1Char('"'),
                          QStringLiteral("End BEFORE EXIT run utilityPath= ") + program}));

    const QList<QByteArray> both = readFile(pids).trimmed().split(' ');
    QCOMPARE(both.size(), 2);
    const pid_t scriptPid = both.at(0).toInt();
    const pid_t childPid = both.at(1).toInt();
    QVERIFY(scriptPid > 0 && childPid > 0);
    QCOMPARE(::kill(scriptPid, 0), 0);
    QCOMPARE(::kill(childPid, 0), 0);
    // In a session of its own, away from the tray program's process group.
    QCOMPARE(::getsid(scriptPid), scriptPid);
    QTRY_COMPARE_WITH_TIMEOUT(readFile(startLogPath()), QByteArray("waiting\noops\n"), 10000);

    // Its later output reaches the log, and once it ends it is reaped.
    QFile(go).open(QIODevice::WriteOnly);
    QTRY_COMPARE_WITH_TIMEOUT(readFile(startLogPath()), QByteArray("waiting\noops\nlater\n"), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(::kill(scriptPid, 0) == -1 && errno == ESRCH, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(::kill(childPid, 0) == -1 && errno == ESRCH, 10000);
}

TB_RELOCATED_TEST_MAIN(TestUtilityManager)
#include "tst_utilitymanager.moc"
