// The launcher with real child programs: exit codes, output, the waits and
// the lines it writes.
#include "MessageCapture.h"
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
    void programOutlivingTheWaitIsKilled();

private:
    // Writes an executable shell script; an empty body gives a path to no file.
    QString script(const QByteArray& body, bool executable = true);
    // The own items of the launcher's lines, prefix taken off.
    static QStringList launcherItems(const MessageCapture& capture);

    QTemporaryDir m_dir;
    int m_scripts = 0;
};

void TestUtilityManager::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // The program waits 30 s for the start and 30 s for the end.
    QCOMPARE(UtilityManager::wait(), 30000);
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
    QTest::newRow("standard error is not output")
        << QByteArray("echo out; echo err >&2; exit 3") << true << QStringList() << 3 << "out\n";
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
    const std::pair<int, QString> result = exec(program, args);
    QCOMPARE(result.first, code);
    QCOMPARE(result.second, output);
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

void TestUtilityManager::programOutlivingTheWaitIsKilled()
{
    UtilityManager::setWaitForTests(3000);
    const QString pidFile = m_dir.filePath(QStringLiteral("pid"));
    const QString program = script("echo $$ > '" + pidFile.toUtf8() + "'; echo waiting; exec sleep 60");

    // As the status manager does: on a plain thread of its own.
    MessageCapture capture;
    std::thread launch([program] { UtilityManager::startUtility(program.toStdString()); });
    launch.join();

    QCOMPARE(launcherItems(capture),
             (QStringList{QStringLiteral("before run utilityPath= ") + program,
                          QStringLiteral(R"(Ret.first:  1 Ret.second:  "Error")"),
                          QStringLiteral("AHTUNG RUN utilityPath= ") + program,
                          QStringLiteral("End BEFORE EXIT run utilityPath= ") + program}));

    QFile file(pidFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const pid_t pid = file.readAll().trimmed().toInt();
    QVERIFY(pid > 0);
    // The program was killed and reaped when the launcher returned.
    errno = 0;
    QCOMPARE(::kill(pid, 0), -1);
    QCOMPARE(errno, ESRCH);
}

QTEST_GUILESS_MAIN(TestUtilityManager)
#include "tst_utilitymanager.moc"
