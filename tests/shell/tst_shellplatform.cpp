// The process list and the Cinema 4D watcher against real processes, and the
// elevated run against real stand-in tools.
#include "ElevatedRun.h"
#include "MessageCapture.h"
#include "ProcessChecker.h"
#include "ProcessList.h"
#include "QThreadProcessChecker.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <memory>
#include <unistd.h>

namespace {

const QFileDevice::Permissions executable =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup |
    QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;

bool writeFile(const QString& path, const QByteArray& content, QFileDevice::Permissions permissions)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        return false;
    file.close();
    return file.setPermissions(permissions);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool listed(const QString& name)
{
    std::vector<std::string> names;
    if (!ProcessList::executableNames(names))
        return false;
    for (const std::string& n : names) {
        if (QString::fromStdString(n) == name)
            return true;
    }
    return false;
}

} // namespace

class TstShellPlatform : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void processListFindsNamesWithoutRegardToCase_data();
    void processListFindsNamesWithoutRegardToCase();
    void removedExecutableStillCounts();
    void checkProcessesWritesItsLine();

    void watcherIgnoresCinemaThatNeverRan();
    void watcherReportsCinemaGoneAfterItRan();
    void watcherWaitsForTheLastOfSeveralCopies();

    void elevatedRunWaitsAndReturnsExitCode_data();
    void elevatedRunWaitsAndReturnsExitCode();
    void elevatedRunReportsFailedStart_data();
    void elevatedRunReportsFailedStart();
    void elevatedRunThroughPkexecWhenUnprivileged_data();
    void elevatedRunThroughPkexecWhenUnprivileged();

private:
    // Starts a copy of /bin/sleep under the given name.
    QProcess* startNamed(const QString& name);
    void end(QProcess* process);

    QTemporaryDir m_dir;
    QList<QProcess*> m_processes;
    std::unique_ptr<MessageCapture> m_capture;
};

void TstShellPlatform::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(QFile::exists(QStringLiteral("/bin/sleep")));
    QThreadProcessChecker::setCheckIntervalForTests(100);
}

void TstShellPlatform::init()
{
    m_capture = std::make_unique<MessageCapture>();
}

void TstShellPlatform::cleanup()
{
    for (QProcess* p : qAsConst(m_processes))
        end(p);
    qDeleteAll(m_processes);
    m_processes.clear();
    m_capture.reset();
}

QProcess* TstShellPlatform::startNamed(const QString& name)
{
    static int serial = 0;
    const QString folder = m_dir.path() + QStringLiteral("/p%1").arg(++serial);
    QDir().mkpath(folder);
    const QString path = folder + QLatin1Char('/') + name;
    if (!QFile::copy(QStringLiteral("/bin/sleep"), path))
        return nullptr;
    QFile::setPermissions(path, executable);
    auto* process = new QProcess;
    m_processes << process;
    process->start(path, {QStringLiteral("60")});
    // The copy has been executed once waitForStarted returns.
    return process->waitForStarted(10000) ? process : nullptr;
}

void TstShellPlatform::end(QProcess* process)
{
    if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(10000);
    }
}

void TstShellPlatform::processListFindsNamesWithoutRegardToCase_data()
{
    QTest::addColumn<QString>("running");
    QTest::addColumn<QString>("asked");
    QTest::addColumn<bool>("found");

    QTest::newRow("same name") << "Cinema 4D.exe"
                               << "Cinema 4D.exe" << true;
    QTest::newRow("lower case runs") << "cinema 4d.exe"
                                     << "Cinema 4D.exe" << true;
    QTest::newRow("upper case runs") << "CINEMA 4D.EXE"
                                     << "Cinema 4D.exe" << true;
    QTest::newRow("mixed case asked") << "Cinema 4D.exe"
                                      << "cINEMA 4d.ExE" << true;
    QTest::newRow("non-ASCII letters")
        << QString::fromUtf8("Кинема 4D.exe") << QString::fromUtf8("кИНЕМА 4d.EXE") << true;
    QTest::newRow("without .exe") << "Cinema 4D"
                                  << "Cinema 4D.exe" << false;
    QTest::newRow("longer name") << "Cinema 4D.exe.bak"
                                 << "Cinema 4D.exe" << false;
    QTest::newRow("prefix only") << "Cinema 4D.ex"
                                 << "Cinema 4D.exe" << false;
}

void TstShellPlatform::processListFindsNamesWithoutRegardToCase()
{
    QFETCH(QString, running);
    QFETCH(QString, asked);
    QFETCH(bool, found);

    ProcessChecker checker;
    QVERIFY2(!checker.isProcessRunning(asked), "another process already has the name");
    QProcess* process = startNamed(running);
    QVERIFY(process);

    QVERIFY2(listed(running), "the list gives the executable's own name, letter case kept");
    QCOMPARE(checker.isProcessRunning(asked), found);

    end(process);
    QVERIFY(!listed(running));
    QVERIFY(!checker.isProcessRunning(asked));
}

void TstShellPlatform::removedExecutableStillCounts()
{
    QProcess* process = startNamed(QStringLiteral("Cinema 4D.exe"));
    QVERIFY(process);
    QVERIFY(QFile::remove(process->program()));
    QVERIFY(ProcessChecker().isProcessRunning(QStringLiteral("Cinema 4D.exe")));
}

void TstShellPlatform::checkProcessesWritesItsLine()
{
    ProcessChecker checker;
    QVERIFY(!checker.checkProcesses());
    QCOMPARE(
        m_capture->count(QStringLiteral("][ bool ProcessChecker::checkProcesses() ] : Процесс Cinema 4D.exe "
                                        "не запущен.")),
        1);

    QVERIFY(startNamed(QStringLiteral("Cinema 4D.exe")));
    QVERIFY(checker.checkProcesses());
    QCOMPARE(
        m_capture->count(QStringLiteral("][ bool ProcessChecker::checkProcesses() ] : Процесс Cinema 4D.exe "
                                        "обнаружен!")),
        1);
}

void TstShellPlatform::watcherIgnoresCinemaThatNeverRan()
{
    QThreadProcessChecker watcher;
    QSignalSpy gone(&watcher, &QThreadProcessChecker::signal_cinema_4D_doesnt_work);
    watcher.start();
    QTRY_VERIFY_WITH_TIMEOUT(m_capture->count(QStringLiteral("не запущен.")) >= 5, 20000);
    QVERIFY(watcher.isRunning());
    QCOMPARE(gone.count(), 0);
    QCOMPARE(m_capture->count(QStringLiteral("КТО-то грохнул синьку..")), 0);

    watcher.requestInterruption();
    QVERIFY(watcher.wait(10000));
    QCOMPARE(gone.count(), 0);
}

void TstShellPlatform::watcherReportsCinemaGoneAfterItRan()
{
    QThreadProcessChecker watcher;
    QSignalSpy gone(&watcher, &QThreadProcessChecker::signal_cinema_4D_doesnt_work);
    watcher.start();
    QTRY_VERIFY_WITH_TIMEOUT(m_capture->count(QStringLiteral("не запущен.")) >= 2, 20000);

    // Started after the watcher, as when the user opens Cinema 4D later.
    QProcess* cinema = startNamed(QStringLiteral("Cinema 4D.exe"));
    QVERIFY(cinema);
    QTRY_VERIFY_WITH_TIMEOUT(m_capture->count(QStringLiteral("обнаружен!")) >= 2, 20000);
    QCOMPARE(gone.count(), 0);

    end(cinema);
    QVERIFY(gone.wait(20000));
    QVERIFY(watcher.wait(10000));
    QCOMPARE(gone.count(), 1);
    const QStringList lines = m_capture->lines();
    const int goneLine = lines.indexOf(QRegularExpression(QStringLiteral(
        ".*\\]\\[ void QThreadProcessChecker::execute\\(\\) \\] : КТО-то грохнул синьку\\.\\.$")));
    QVERIFY(goneLine > 0);
    QVERIFY(lines.at(goneLine - 1).endsWith(QStringLiteral("не запущен.")));
}

void TstShellPlatform::watcherWaitsForTheLastOfSeveralCopies()
{
    QProcess* first = startNamed(QStringLiteral("Cinema 4D.exe"));
    QProcess* second = startNamed(QStringLiteral("CINEMA 4D.EXE"));
    QVERIFY(first && second);

    QThreadProcessChecker watcher;
    QSignalSpy gone(&watcher, &QThreadProcessChecker::signal_cinema_4D_doesnt_work);
    watcher.start();
    QTRY_VERIFY_WITH_TIMEOUT(m_capture->count(QStringLiteral("обнаружен!")) >= 1, 20000);

    end(first);
    const int seen = m_capture->count(QStringLiteral("обнаружен!"));
    QTRY_VERIFY_WITH_TIMEOUT(m_capture->count(QStringLiteral("обнаружен!")) >= seen + 3, 20000);
    QCOMPARE(gone.count(), 0);
    QVERIFY(watcher.isRunning());

    end(second);
    QVERIFY(gone.wait(20000));
    QVERIFY(watcher.wait(10000));
    QCOMPARE(gone.count(), 1);
}

void TstShellPlatform::elevatedRunWaitsAndReturnsExitCode_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QByteArray>("ending");
    QTest::addColumn<unsigned long>("expected");

    QTest::newRow("success") << "tools" << QByteArray("exit 0") << 0ul;
    QTest::newRow("failure code") << "tools" << QByteArray("exit 7") << 7ul;
    QTest::newRow("highest code") << "tools" << QByteArray("exit 255") << 255ul;
    QTest::newRow("folder with blanks") << "Program Files/Stable tools" << QByteArray("exit 3") << 3ul;
    QTest::newRow("killed by a signal") << "tools" << QByteArray("kill -KILL $$") << 137ul;
}

void TstShellPlatform::elevatedRunWaitsAndReturnsExitCode()
{
    if (geteuid() != 0)
        QSKIP("runs directly only with privileges; the pkexec road is tested below");
    QFETCH(QString, folder);
    QFETCH(QByteArray, ending);
    QFETCH(unsigned long, expected);

    const QString dir = m_dir.path() + QLatin1Char('/') + folder;
    QVERIFY(QDir().mkpath(dir));
    const QString tool = dir + QStringLiteral("/ctlrunner");
    const QString record = dir + QStringLiteral("/record");
    QFile::remove(record);
    // The last thing the tool does before it ends is to mark its record.
    QVERIFY(writeFile(tool,
                      "#!/bin/sh\nprintf '%s|' \"$@\" > '" + record.toUtf8() +
                          "'\nsleep 0.2\necho done >> '" + record.toUtf8() + "'\n" + ending + "\n",
                      executable));

    ElevatedRun run;
    QVERIFY(run.start(tool.toStdString(), {"SIGNAL_STOP"}));
    QVERIFY(run.hasProcess());
    run.wait();
    QCOMPARE(readFile(record), QByteArray("SIGNAL_STOP|done\n"));
    unsigned long code = 12345;
    QVERIFY(run.exitCode(code));
    QCOMPARE(code, expected);
    run.close();
    QVERIFY(!run.hasProcess());
}

void TstShellPlatform::elevatedRunReportsFailedStart_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<unsigned long>("error");

    QTest::newRow("missing") << "missing" << static_cast<unsigned long>(ENOENT);
    QTest::newRow("not executable") << "plain file" << static_cast<unsigned long>(EACCES);
    QTest::newRow("a folder") << "folder" << static_cast<unsigned long>(EACCES);
    QTest::newRow("not a program") << "garbage" << static_cast<unsigned long>(ENOEXEC);
}

void TstShellPlatform::elevatedRunReportsFailedStart()
{
    if (geteuid() != 0)
        QSKIP("runs directly only with privileges; the pkexec road is tested below");
    QFETCH(QString, kind);
    QFETCH(unsigned long, error);

    const QString tool = m_dir.path() + QStringLiteral("/failing-") + QString::number(qHash(kind));
    if (kind == QLatin1String("plain file"))
        QVERIFY(writeFile(tool, "#!/bin/sh\nexit 0\n", QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    else if (kind == QLatin1String("folder"))
        QVERIFY(QDir().mkpath(tool));
    else if (kind == QLatin1String("garbage"))
        QVERIFY(writeFile(tool, QByteArray(64, '\x7f'), executable));

    ElevatedRun run;
    QVERIFY(!run.start(tool.toStdString(), {"SIGNAL_STOP"}));
    QCOMPARE(run.lastError(), error);
    QVERIFY(!run.hasProcess());
}

void TstShellPlatform::elevatedRunThroughPkexecWhenUnprivileged_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("toolCode");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<bool>("toolRan");

    QTest::newRow("allowed, success") << QByteArray("allow") << 0 << "started\nexit 0\n" << true;
    QTest::newRow("allowed, failure code") << QByteArray("allow") << 4 << "started\nexit 4\n" << true;
    QTest::newRow("dialog dismissed")
        << QByteArray("dismiss") << 0 << QStringLiteral("start failed %1\n").arg(ECANCELED) << false;
    QTest::newRow("not authorised") << QByteArray("deny") << 0
                                    << QStringLiteral("start failed %1\n").arg(EACCES) << false;
    QTest::newRow("no pkexec") << QByteArray("absent") << 0 << QStringLiteral("start failed %1\n").arg(ENOENT)
                               << false;
}

void TstShellPlatform::elevatedRunThroughPkexecWhenUnprivileged()
{
    QFETCH(QByteArray, answer);
    QFETCH(int, toolCode);
    QFETCH(QString, outcome);
    QFETCH(bool, toolRan);

    // A world-readable folder: the probe runs as an unprivileged user.
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/pkexec-XXXXXX"));
    QVERIFY(dir.isValid());
    QVERIFY(
        QFile::setPermissions(dir.path(), executable | QFileDevice::WriteOther | QFileDevice::WriteGroup));
    const QString bin = dir.path() + QStringLiteral("/bin");
    QVERIFY(QDir().mkpath(bin));
    const QString probe = bin + QStringLiteral("/shell_elevated");
    QVERIFY(QFile::copy(qEnvironmentVariable("TB_BIN_DIR") + QStringLiteral("/shell_elevated"), probe));
    QVERIFY(QFile::setPermissions(probe, executable));
    const QString tool = dir.path() + QStringLiteral("/ctlrunner");
    const QString calls = dir.path() + QStringLiteral("/calls");
    QVERIFY(writeFile(tool,
                      "#!/bin/sh\nprintf 'tool %s\\n' \"$*\" >> '" + calls.toUtf8() + "'\nexit " +
                          QByteArray::number(toolCode) + "\n",
                      executable));
    // Behaves as pkexec does: runs the program with its arguments once the
    // user allowed it, 126 when the dialog was dismissed, 127 when refused.
    if (answer != "absent") {
        QByteArray action = "exec \"$@\"";
        if (answer == "dismiss")
            action = "exit 126";
        else if (answer == "deny")
            action = "exit 127";
        QVERIFY(
            writeFile(bin + QStringLiteral("/pkexec"),
                      "#!/bin/sh\nprintf 'pkexec %s\\n' \"$*\" >> '" + calls.toUtf8() + "'\n" + action + "\n",
                      executable));
    }

    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PATH"), bin); // the stand-in, or no pkexec at all
    process.setProcessEnvironment(env);
    if (geteuid() == 0)
        process.start(QStringLiteral("setpriv"),
                      {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                       QStringLiteral("--clear-groups"), probe, tool, QStringLiteral("SIGNAL_STOP")});
    else
        process.start(probe, {tool, QStringLiteral("SIGNAL_STOP")});
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(process.readAllStandardOutput()), outcome);

    QStringList expectedCalls;
    if (answer != "absent")
        expectedCalls << QStringLiteral("pkexec ") + tool + QStringLiteral(" SIGNAL_STOP");
    if (toolRan)
        expectedCalls << QStringLiteral("tool SIGNAL_STOP");
    QCOMPARE(QString::fromUtf8(readFile(calls)).split(QLatin1Char('\n'), Qt::SkipEmptyParts), expectedCalls);
}

QTEST_GUILESS_MAIN(TstShellPlatform)
#include "tst_shellplatform.moc"
