// procwarden as a real service on Linux: the control table, the termination
// walks against real processes, the settings read at every control, the stop
// sequence, the control channel's checks and ctlrunner's outcomes.
#include "ChildRun.h"
#include "ControlLines.h"
#include "WardenRun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <vector>

#include <cerrno>
#include <csignal>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
using namespace ControlLines;

const QString Str557 = QStringLiteral("My Sample Service: err str557");
const QString StopRequest =
    QStringLiteral("My Sample Service: ServiceCtrlHandler: SERVICE_CONTROL_STOP Request");
const QString KeyNotFound = QStringLiteral("Key not found <SOFTWARE\\Cinema4DPluginSettings>");

QString binary(const QString& name)
{
    return qEnvironmentVariable("TB_BIN_DIR") + QLatin1Char('/') + name;
}

struct Outcome
{
    int exitCode = -1;
    QByteArray err;
};

Outcome runCtlrunner(const QProcessEnvironment& env, const QStringList& args, const QStringList& wrapper = {})
{
    ChildRunOptions options;
    options.environment = env;
    const QStringList command = wrapper + QStringList{binary(QStringLiteral("ctlrunner"))} + args;
    const ChildRun child = ChildRun::run(command.first(), command.mid(1), options);
    Outcome outcome;
    outcome.exitCode = child.exitCode;
    outcome.err = child.finished ? child.err : QByteArray("ctlrunner did not finish");
    return outcome;
}

bool killedBySignal(QProcess* process)
{
    // nsenter ends the way its child ended: here by SIGKILL.
    return process->state() == QProcess::NotRunning &&
           (process->exitStatus() == QProcess::CrashExit || process->exitCode() == 128 + SIGKILL);
}

const QStringList AsNobody{QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"),
                           QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups")};

// A client of the control channel that connects and sends nothing.
class SilentClient
{
public:
    explicit SilentClient(const QString& path)
    {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof address.sun_path);
        m_connected =
            m_fd >= 0 && ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~SilentClient()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    SilentClient(const SilentClient&) = delete;
    SilentClient& operator=(const SilentClient&) = delete;

    bool connected() const { return m_connected; }

    // What the service sent so far; "<closed>" marks the end of the connection.
    QByteArray received()
    {
        char buffer[64];
        for (;;) {
            const ssize_t n = m_closed ? -1 : ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                m_received.append(buffer, static_cast<int>(n));
                continue;
            }
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                if (!m_closed)
                    m_received += "<closed>";
                m_closed = true;
            }
            return m_received;
        }
    }

private:
    int m_fd = -1;
    bool m_connected = false;
    bool m_closed = false;
    QByteArray m_received;
};
} // namespace

class TestProcwarden : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QString reason;
        if (!WardenRun::namespacesAvailable(&reason))
            QSKIP(qPrintable(reason));
        QVERIFY(QFileInfo(binary(QStringLiteral("procwarden"))).isExecutable());
        QVERIFY(QFileInfo(binary(QStringLiteral("ctlrunner"))).isExecutable());
        QVERIFY(m_tools.isValid());
        // Private copies only: the walk ends every process running the named image.
        m_target = privateCopy(QStringLiteral("/bin/sleep"),
                               m_tools.filePath(QStringLiteral("webui/venv/bin")), QStringLiteral("python3"));
        m_other = privateCopy(QStringLiteral("/bin/sleep"), m_tools.filePath(QStringLiteral("other/bin")),
                              QStringLiteral("python3"));
        QVERIFY(!m_target.isEmpty() && !m_other.isEmpty());
    }

    // Every code writes the lines of the table; the walks see only procwarden itself here.
    void controlTable_data()
    {
        QTest::addColumn<uint>("code");
        QTest::addColumn<bool>("byCtlrunner");
        QTest::addColumn<QStringList>("middle");

        QTest::newRow("144 quiet walk") << 144u << false << QStringList{UpdateStatus, QString()};
        const QStringList stop{RequestStop, QString(), Str557};
        QTest::newRow("145 verbose walk") << 145u << false << stop;
        QTest::newRow("145 sent by ctlrunner") << 145u << true << stop;
        QTest::newRow("146 launch request")
            << 146u << false
            << QStringList{
                   QStringLiteral("[ServiceCtrlHandler] : MSG_GUI_REQUEST_TO_LAUNCH_STABLE_DIFFUSION "),
                   QString()};
        QTest::newRow("4 interrogate") << 4u << false << QStringList();
        QTest::newRow("128 user-defined without case") << 128u << false << QStringList();
        QTest::newRow("147 next to the own codes") << 147u << false << QStringList();
        QTest::newRow("255 last user-defined") << 255u << false << QStringList();
    }

    void controlTable()
    {
        QFETCH(uint, code);
        QFETCH(bool, byCtlrunner);
        QFETCH(QStringList, middle);

        WardenRun run;
        QVERIFY(run.setPathPython(QFile::encodeName(m_tools.filePath(QStringLiteral("gone/python3")))));
        QVERIFY(run.start());
        const int before = run.logMessages().size();

        if (byCtlrunner) {
            const Outcome outcome = runCtlrunner(run.environment(), {QStringLiteral("SIGNAL_STOP")});
            QCOMPARE(outcome.exitCode, 0);
            QCOMPARE(outcome.err, QByteArray());
        } else {
            QCOMPARE(run.sendControl(code), QByteArray("OK\n"));
        }
        QCOMPARE(run.logMessagesFrom(before), controlLines(middle));
        QCOMPARE(run.process().state(), QProcess::Running);
    }

    // Two copies of the set image end, each with its line; a process with another image stays.
    void terminationWalk_data()
    {
        QTest::addColumn<bool>("verbose");
        QTest::addColumn<QString>("form");
        QTest::addColumn<bool>("matches");

        for (bool verbose : {false, true}) {
            const char* mode = verbose ? "verbose" : "quiet";
            QTest::addRow("%s, same path", mode) << verbose << QStringLiteral("same") << true;
            QTest::addRow("%s, other letter case", mode) << verbose << QStringLiteral("upper") << true;
            QTest::addRow("%s, trailing space", mode) << verbose << QStringLiteral("space") << false;
            QTest::addRow("%s, doubled slash", mode) << verbose << QStringLiteral("slashes") << false;
            QTest::addRow("%s, dot segment", mode) << verbose << QStringLiteral("dot") << false;
        }
    }

    void terminationWalk()
    {
        QFETCH(bool, verbose);
        QFETCH(QString, form);
        QFETCH(bool, matches);

        QString setting = m_target;
        if (form == QLatin1String("upper"))
            setting = setting.toUpper();
        else if (form == QLatin1String("space"))
            setting += QLatin1Char(' ');
        else if (form == QLatin1String("slashes"))
            setting.replace(QStringLiteral("/venv/"), QStringLiteral("/venv//"));
        else if (form == QLatin1String("dot"))
            setting.replace(QStringLiteral("/venv/"), QStringLiteral("/venv/./"));
        QCOMPARE(setting == m_target, form == QLatin1String("same"));

        WardenRun run;
        QVERIFY(run.setPathPython(QFile::encodeName(setting)));
        QVERIFY(run.start());
        QProcess* first = run.startInside(m_target, {QStringLiteral("600")});
        QProcess* second = run.startInside(m_target, {QStringLiteral("600")});
        QProcess* other = run.startInside(m_other, {QStringLiteral("600")});
        QVERIFY(first && second && other);
        const int before = run.logMessages().size();

        QCOMPARE(run.sendControl(verbose ? 145 : 144), QByteArray("OK\n"));

        // Snapshot order: procwarden (1), the two copies, the other image.
        QStringList middle;
        if (verbose) {
            middle << RequestStop << QString() << Str557;
            middle << (matches ? Verbose : Str557) << (matches ? Verbose : Str557) << Str557;
        } else {
            middle << UpdateStatus << QString();
            if (matches)
                middle << Quiet << Quiet;
        }
        QCOMPARE(run.logMessagesFrom(before), controlLines(middle));

        if (matches) {
            QTRY_VERIFY_WITH_TIMEOUT(killedBySignal(first), 20000);
            QTRY_VERIFY_WITH_TIMEOUT(killedBySignal(second), 20000);
        } else {
            QCOMPARE(first->state(), QProcess::Running);
            QCOMPARE(second->state(), QProcess::Running);
        }
        QCOMPARE(other->state(), QProcess::Running);
        QCOMPARE(run.process().state(), QProcess::Running);
    }

    // A virtual environment's interpreter is a link to a shared one. The walk
    // ends what was started through the setting's folder and only that: a
    // bystander of the shared interpreter, or another environment's, survives.
    void startedThroughTheSetting_data()
    {
        QTest::addColumn<QString>("setting"); // "link": the environment's link; "shared": its target
        QTest::addColumn<QStringList>("ended");
        QTest::newRow("setting is the environment's link")
            << "link"
            << QStringList{"link by full path", "other name in the folder", "activated environment"};
        QTest::newRow("setting is the shared interpreter") << "shared" << QStringList{"shared directly"};
    }
    void startedThroughTheSetting()
    {
        QFETCH(QString, setting);
        QFETCH(QStringList, ended);

        QTemporaryDir tools;
        QVERIFY(tools.isValid());
        const QString shared =
            privateCopy(QStringLiteral("/bin/sleep"), tools.filePath(QStringLiteral("usr/bin")),
                        QStringLiteral("python3.11"));
        QVERIFY(!shared.isEmpty());
        const QString venvBin = tools.filePath(QStringLiteral("webui/venv/bin"));
        const QString otherBin = tools.filePath(QStringLiteral("other/venv/bin"));
        QVERIFY(QDir().mkpath(venvBin) && QDir().mkpath(otherBin));
        const QString link = venvBin + QStringLiteral("/python");
        QVERIFY(QFile::link(shared, link));
        QVERIFY(QFile::link(QStringLiteral("python"), venvBin + QStringLiteral("/python3")));
        QVERIFY(QFile::link(shared, otherBin + QStringLiteral("/python")));

        WardenRun run;
        QVERIFY(run.setPathPython(QFile::encodeName(setting == QLatin1String("link") ? link : shared)));
        QVERIFY(run.start());
        QProcessEnvironment activated = QProcessEnvironment::systemEnvironment();
        activated.insert(QStringLiteral("VIRTUAL_ENV"), tools.filePath(QStringLiteral("webui/venv")));
        activated.insert(QStringLiteral("PATH"), venvBin + QStringLiteral(":/usr/bin:/bin"));
        const QStringList wait{QStringLiteral("600")};
        const QList<QPair<QString, QProcess*>> processes{
            {"shared directly", run.startInside(shared, wait)},
            {"link by full path", run.startInside(link, wait)},
            {"other name in the folder", run.startInside(venvBin + QStringLiteral("/python3"), wait)},
            {"activated environment",
             run.startInside(QStringLiteral("/bin/sh"),
                             {QStringLiteral("-c"), QStringLiteral("exec python 600")}, shared, activated)},
            {"another environment", run.startInside(otherBin + QStringLiteral("/python"), wait)}};
        for (const auto& process : processes)
            QVERIFY2(process.second, qPrintable(process.first));

        QCOMPARE(run.sendControl(144), QByteArray("OK\n"));
        for (const auto& process : processes) {
            if (ended.contains(process.first))
                QTRY_VERIFY2_WITH_TIMEOUT(killedBySignal(process.second), qPrintable(process.first), 20000);
        }
        // The quiet walk logs one line per process ended.
        QCOMPARE(run.logMessages().count(Quiet), ended.size());
        for (const auto& process : processes) {
            if (!ended.contains(process.first))
                QVERIFY2(process.second->state() == QProcess::Running, qPrintable(process.first));
        }
    }

    // A match that cannot be ended is logged as such, not as ended: here the
    // service may read every process's image but not signal another user's.
    void terminationRefused_data()
    {
        QTest::addColumn<uint>("code");
        QTest::addColumn<QStringList>("middle");
        const QString notEnded = QStringLiteral("My Sample Service: python.exe process not terminated");
        QTest::newRow("quiet") << 144u << QStringList{UpdateStatus, QString(), notEnded, notEnded};
        QTest::newRow("verbose") << 145u << QStringList{RequestStop, QString(), Str557, notEnded, notEnded};
    }

    void terminationRefused()
    {
        QFETCH(uint, code);
        QFETCH(QStringList, middle);

        WardenRun run;
        for (const QString& dir :
             {run.dir(), run.dir() + QStringLiteral("/run"), run.dir() + QStringLiteral("/work")})
            QFile::setPermissions(dir, QFileDevice::Permissions(0x7777));
        QVERIFY(run.setPathPython(QFile::encodeName(m_target)));
        QVERIFY(run.start(AsNobody + QStringList{QStringLiteral("--inh-caps=+sys_ptrace"),
                                                 QStringLiteral("--ambient-caps=+sys_ptrace")}));
        QProcess* first = run.startInside(m_target, {QStringLiteral("600")});
        QProcess* second = run.startInside(m_target, {QStringLiteral("600")});
        QVERIFY(first && second);

        const int before = run.logMessages().size();
        QCOMPARE(run.sendControlAs(AsNobody, code), QByteArray("OK\n"));
        QCOMPARE(run.logMessagesFrom(before), controlLines(middle));
        QCOMPARE(first->state(), QProcess::Running);
        QCOMPARE(second->state(), QProcess::Running);
    }

    // A setting that names nothing running, or cannot be read, ends nothing;
    // the verbose walk gives "err str557" for every process it can examine.
    void settingNamesNothing_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("readerLine");

        QTest::newRow("stale path") << QStringLiteral("stale") << QString();
        QTest::newRow("missing value")
            << QStringLiteral("missing")
            << QStringLiteral("Error, not found <Path> in <SOFTWARE\\Cinema4DPluginSettings>");
        QTest::newRow("empty value") << QStringLiteral("empty")
                                     << QStringLiteral(
                                            "Error, Empty <SOFTWARE\\Cinema4DPluginSettings> key Path");
        QTest::newRow("missing key") << QStringLiteral("nokey") << KeyNotFound;
    }

    void settingNamesNothing()
    {
        QFETCH(QString, setup);
        QFETCH(QString, readerLine);

        WardenRun run;
        if (setup == QLatin1String("stale"))
            QVERIFY(
                run.setPathPython(QFile::encodeName(m_tools.filePath(QStringLiteral("removed/python3")))));
        else if (setup == QLatin1String("missing"))
            QVERIFY(run.setPathPython(QByteArray()));
        else if (setup == QLatin1String("empty"))
            QVERIFY(run.setPathPython(QByteArray("")));
        else
            QVERIFY(!QFileInfo::exists(run.keyFolder()));
        QVERIFY(run.start());
        QProcess* first = run.startInside(m_target, {QStringLiteral("600")});
        QProcess* second = run.startInside(m_target, {QStringLiteral("600")});
        QVERIFY(first && second);

        int before = run.logMessages().size();
        QCOMPARE(run.sendControl(145), QByteArray("OK\n"));
        QCOMPARE(run.logMessagesFrom(before),
                 controlLines({RequestStop, QString(), Str557, Str557, Str557}, readerLine));

        before = run.logMessages().size();
        QCOMPARE(run.sendControl(144), QByteArray("OK\n"));
        QCOMPARE(run.logMessagesFrom(before), controlLines({UpdateStatus, QString()}, readerLine));
        QCOMPARE(first->state(), QProcess::Running);
        QCOMPARE(second->state(), QProcess::Running);
    }

    // "path_python" is read at every control: a change counts at the next one.
    void settingReadAtEveryControl()
    {
        WardenRun run;
        QVERIFY(run.setPathPython(QFile::encodeName(m_other)));
        QVERIFY(run.start());
        QProcess* target = run.startInside(m_target, {QStringLiteral("600")});
        QVERIFY(target);

        int before = run.logMessages().size();
        QCOMPARE(run.sendControl(144), QByteArray("OK\n"));
        QCOMPARE(run.logMessagesFrom(before), controlLines({UpdateStatus, QString()}));
        QCOMPARE(target->state(), QProcess::Running);

        QVERIFY(run.setPathPython(QFile::encodeName(m_target)));
        before = run.logMessages().size();
        QCOMPARE(run.sendControl(144), QByteArray("OK\n"));
        QCOMPARE(run.logMessagesFrom(before), controlLines({UpdateStatus, QString(), Quiet}));
        QTRY_VERIFY_WITH_TIMEOUT(killedBySignal(target), 20000);

        QVERIFY(run.setPathPython(QByteArray()));
        before = run.logMessages().size();
        QCOMPARE(run.sendControl(146), QByteArray("OK\n"));
        QCOMPARE(run.logMessagesFrom(before),
                 controlLines(
                     {QStringLiteral("[ServiceCtrlHandler] : MSG_GUI_REQUEST_TO_LAUNCH_STABLE_DIFFUSION "),
                      QString()},
                     QStringLiteral("Error, not found <Path> in <SOFTWARE\\Cinema4DPluginSettings>")));
    }

    // The stop control: reported states, the exit lines in order, exit code 0;
    // a second run appends to the same log.
    void stop_data()
    {
        QTest::addColumn<bool>("bySignal");
        QTest::newRow("SIGTERM, as systemctl stop sends") << true;
        QTest::newRow("control 1 over the channel") << false;
    }

    void stop()
    {
        QFETCH(bool, bySignal);

        WardenRun run;
        // No settings key: the stop control, too, reads "path_python" first.
        for (int round = 1; round <= 2; ++round) {
            QVERIFY(run.start());
            const int before = run.logMessages().size();
            if (bySignal)
                QCOMPARE(::kill(static_cast<pid_t>(run.wardenPid()), SIGTERM), 0);
            else
                QCOMPARE(run.sendControl(1), QByteArray("OK\n"));
            QVERIFY(run.waitForExit(20000));
            QCOMPARE(run.process().exitStatus(), QProcess::NormalExit);
            QCOMPARE(run.process().exitCode(), 0);

            QStringList lines = run.logMessagesFrom(before);
            // The handler's last line and the worker's wake-up may pass each other.
            const int handlerExit = lines.indexOf(HandlerExit);
            QVERIFY2(handlerExit > lines.indexOf(StopRequest), qPrintable(lines.join('\n')));
            lines.removeAt(handlerExit);
            QCOMPARE(lines,
                     (QStringList{
                         BeforeSwitch, QString(), KeyNotFound, StopRequest,
                         QStringLiteral("My Sample Service: ServiceWorkerThread: Exit"),
                         QStringLiteral("My Sample Service: ServiceMain: Worker Thread Stop Event signaled"),
                         QStringLiteral("My Sample Service: ServiceMain: Performing Cleanup Operations"),
                         QStringLiteral("My Sample Service: ServiceMain: Exit"),
                         QStringLiteral("My Sample Service: Main: Exit")}));

            QCOMPARE(run.notifications(), (QStringList{QStringLiteral("STATUS=starting"),
                                                       QStringLiteral("READY=1\nSTATUS=running"),
                                                       QStringLiteral("STOPPING=1\nSTATUS=stopping"),
                                                       QStringLiteral("STATUS=stopped")}));
            QVERIFY(!QFileInfo::exists(run.socketPath()));
        }

        // Both runs, start lines included, are in the one log.
        const QStringList all = run.logMessages();
        const QStringList start{
            QStringLiteral("My Sample Service: Main: Entry"),
            QStringLiteral("My Sample Service: ServiceMain: Entry"),
            QStringLiteral("My Sample Service: ServiceMain: Performing Service Start Operations")};
        QCOMPARE(all.count(start.first()), 2);
        QCOMPARE(all.mid(0, 3), start);
        const int second = all.lastIndexOf(start.first());
        QCOMPARE(all.mid(second, 3), start);
        // The main thread's wait and the worker's entry come in either order.
        QCOMPARE(QSet<QString>(all.begin() + 3, all.begin() + 5),
                 (QSet<QString>{
                     QStringLiteral("My Sample Service: ServiceMain: Waiting for Worker Thread to complete"),
                     QStringLiteral("My Sample Service: ServiceWorkerThread: Entry")}));
        QCOMPARE(all.last(), QStringLiteral("My Sample Service: Main: Exit"));
        QString bad;
        QVERIFY2(run.stampsWellFormed(&bad), qPrintable(bad));
    }

    // Only the service's own user may send controls.
    void channelChecksTheUser_data()
    {
        QTest::addColumn<bool>("serviceAsNobody");
        QTest::addColumn<bool>("clientAsNobody");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("reachesService");

        // The socket's permissions keep other users out; root passes them and
        // is refused by the service.
        QTest::newRow("service root, client another user") << false << true << 4 << false;
        QTest::newRow("service another user, client root") << true << false << 4 << true;
        QTest::newRow("service and client the same user") << true << true << 0 << true;
    }

    void channelChecksTheUser()
    {
        QFETCH(bool, serviceAsNobody);
        QFETCH(bool, clientAsNobody);
        QFETCH(int, exitCode);
        QFETCH(bool, reachesService);

        WardenRun run;
        // Let the other user reach the socket, the log and the settings.
        for (const QString& dir :
             {run.dir(), run.dir() + QStringLiteral("/run"), run.dir() + QStringLiteral("/work")})
            QFile::setPermissions(dir, QFileDevice::Permissions(0x7777));
        QVERIFY(run.setPathPython(QFile::encodeName(m_tools.filePath(QStringLiteral("gone/python3")))));
        QVERIFY(run.start(serviceAsNobody ? AsNobody : QStringList()));
        const int before = run.logMessages().size();

        const Outcome outcome = runCtlrunner(run.environment(), {QStringLiteral("SIGNAL_STOP")},
                                             clientAsNobody ? AsNobody : QStringList());
        QCOMPARE(outcome.exitCode, exitCode);
        if (exitCode == 0) {
            QCOMPARE(outcome.err, QByteArray());
            QCOMPARE(run.logMessagesFrom(before).first(), BeforeSwitch);
        } else {
            QVERIFY2(outcome.err.startsWith("ctlrunner: access denied") && outcome.err.count('\n') == 1,
                     outcome.err.constData());
            QCOMPARE(run.logMessagesFrom(before), QStringList());
            const QByteArray uid = clientAsNobody ? "65534" : "0";
            if (reachesService) {
                QTRY_VERIFY(run.stderrText().contains("control refused: user " + uid));
            } else {
                QVERIFY2(outcome.err.contains("Permission denied"), outcome.err.constData());
                QCOMPARE(run.sendControl(146), QByteArray("OK\n"));
                QVERIFY(!run.stderrText().contains("control refused"));
            }
        }
        QCOMPARE(run.process().state(), QProcess::Running);
    }

    // A caller of another user is refused at once, before anything is read,
    // while a silent caller of the service's own user is still waited for.
    void foreignClientRefusedAtOnce()
    {
        WardenRun run;
        for (const QString& dir :
             {run.dir(), run.dir() + QStringLiteral("/run"), run.dir() + QStringLiteral("/work")})
            QFile::setPermissions(dir, QFileDevice::Permissions(0x7777));
        QVERIFY(run.start(AsNobody));

        // The service's own user, silent: connects, then reports what it receives.
        static const char* silent = "import socket, sys\n"
                                    "s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)\n"
                                    "s.connect(sys.argv[1])\n"
                                    "print('connected', flush=True)\n"
                                    "print(repr(s.recv(64)), flush=True)\n";
        QProcess own;
        own.start(AsNobody.first(),
                  AsNobody.mid(1) + QStringList{QStringLiteral("/usr/bin/python3"), QStringLiteral("-c"),
                                                QString::fromLatin1(silent), run.socketPath()});
        QVERIFY(own.waitForStarted(30000));
        QByteArray ownOut;
        QTRY_VERIFY_WITH_TIMEOUT((ownOut += own.readAllStandardOutput()).contains("connected\n"), 30000);

        // Root, silent too: another user to a service run as nobody.
        SilentClient foreign(run.socketPath());
        QVERIFY(foreign.connected());
        QTRY_VERIFY_WITH_TIMEOUT(foreign.received().endsWith("<closed>"), 30000);
        QCOMPARE(foreign.received(), QByteArray("DENIED\n<closed>"));
        QTRY_VERIFY(run.stderrText().contains("control refused: user 0"));
        ownOut += own.readAllStandardOutput();
        QCOMPARE(ownOut, QByteArray("connected\n"));

        // The silent caller is refused once its request time is up.
        QVERIFY(own.waitForFinished(30000));
        QCOMPARE(ownOut + own.readAllStandardOutput(), QByteArray("connected\nb'INVALID\\n'\n"));
        QCOMPARE(run.process().state(), QProcess::Running);
    }

    // Silent callers, held or one more every 0.5 s, delay neither a control
    // nor SIGTERM: both are served while those callers still wait.
    void silentClientsHoldNothingUp_data()
    {
        QTest::addColumn<bool>("stream");
        QTest::addColumn<bool>("bySignal");
        QTest::newRow("ctlrunner past held silent callers") << false << false;
        QTest::newRow("ctlrunner during a stream of silent callers") << true << false;
        QTest::newRow("SIGTERM past held silent callers") << false << true;
        QTest::newRow("SIGTERM during a stream of silent callers") << true << true;
    }

    void silentClientsHoldNothingUp()
    {
        QFETCH(bool, stream);
        QFETCH(bool, bySignal);

        WardenRun run;
        QVERIFY(run.setPathPython(QFile::encodeName(m_tools.filePath(QStringLiteral("gone/python3")))));
        QVERIFY(run.start());
        std::vector<std::unique_ptr<SilentClient>> held;
        for (int i = 0; i < 12; ++i) {
            held.push_back(std::make_unique<SilentClient>(run.socketPath()));
            QVERIFY(held.back()->connected());
        }
        std::vector<std::unique_ptr<SilentClient>> more;
        QTimer streamTimer;
        QObject::connect(&streamTimer, &QTimer::timeout,
                         [&] { more.push_back(std::make_unique<SilentClient>(run.socketPath())); });
        if (stream) {
            streamTimer.start(500);
            QTRY_VERIFY_WITH_TIMEOUT(more.size() >= 3, 30000);
        }

        const int before = run.logMessages().size();
        if (bySignal) {
            QCOMPARE(::kill(static_cast<pid_t>(run.wardenPid()), SIGTERM), 0);
            QTRY_COMPARE_WITH_TIMEOUT(run.process().state(), QProcess::NotRunning, 60000);
            QCOMPARE(run.process().exitStatus(), QProcess::NormalExit);
            QCOMPARE(run.process().exitCode(), 0);
            QCOMPARE(run.logMessages().last(), QStringLiteral("My Sample Service: Main: Exit"));
            // The service ended without serving them: no answer, only the end.
            for (auto& client : held)
                QCOMPARE(client->received(), QByteArray("<closed>"));
            return;
        }

        ChildRunOptions options;
        options.environment = run.environment();
        options.serveEvents = true;
        const ChildRun ctl =
            ChildRun::run(binary(QStringLiteral("ctlrunner")), {QStringLiteral("SIGNAL_STOP")}, options);
        QCOMPARE(ctl.err, QByteArray());
        QCOMPARE(ctl.exitCode, 0);
        QCOMPARE(run.logMessagesFrom(before), controlLines({RequestStop, QString(), Str557}));
        for (auto& client : held)
            QCOMPARE(client->received(), QByteArray());

        // Each silent caller is refused once its own request time is up.
        streamTimer.stop();
        for (auto& client : held)
            QTRY_COMPARE_WITH_TIMEOUT(client->received(), QByteArray("INVALID\n<closed>"), 30000);
        QCOMPARE(run.sendControl(146), QByteArray("OK\n"));
        QCOMPARE(run.process().state(), QProcess::Running);
    }

    // Bad requests are refused, change nothing, and the channel goes on serving.
    void badRequests_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::newRow("letters") << QByteArray("stop\n");
        QTest::newRow("zero") << QByteArray("0\n");
        QTest::newRow("above 255") << QByteArray("256\n");
        QTest::newRow("beyond 32 bits") << QByteArray("4294967441\n");
        QTest::newRow("negative") << QByteArray("-1\n");
        QTest::newRow("leading space") << QByteArray(" 145\n");
        QTest::newRow("empty line") << QByteArray("\n");
        QTest::newRow("overlong line") << QByteArray(64, '1') + '\n';
        QTest::newRow("zero byte") << QByteArray("14\0"
                                                 "5\n",
                                                 5);
    }

    void badRequests()
    {
        QFETCH(QByteArray, request);
        WardenRun run;
        QVERIFY(run.start());
        const QStringList before = run.logMessages();
        QCOMPARE(run.sendRaw(request), QByteArray("INVALID\n"));
        QCOMPARE(run.logMessages(), before);
        QCOMPARE(run.sendControl(146).constData(), "OK\n");
        QCOMPARE(run.process().state(), QProcess::Running);
    }

    // ctlrunner's answers when the control cannot be sent.
    void ctlrunnerOutcomes_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("message");

        const bool unit =
            QFileInfo::exists(QStringLiteral("/etc/systemd/system/procwarden.service")) ||
            QFileInfo::exists(QStringLiteral("/usr/lib/systemd/system/procwarden.service")) ||
            QFileInfo::exists(QStringLiteral("/lib/systemd/system/procwarden.service")) ||
            QFileInfo::exists(QStringLiteral("/usr/local/lib/systemd/system/procwarden.service")) ||
            QFileInfo::exists(QStringLiteral("/run/systemd/system/procwarden.service"));
        const QStringList stop{QStringLiteral("SIGNAL_STOP")};
        QTest::newRow("no argument") << QStringList() << QString() << 1
                                     << QByteArray("usage: ctlrunner SIGNAL_STOP");
        QTest::newRow("other argument") << QStringList{QStringLiteral("SIGNAL_START")} << QString() << 1
                                        << QByteArray("usage: ctlrunner SIGNAL_STOP");
        QTest::newRow("lower case") << QStringList{QStringLiteral("signal_stop")} << QString() << 1
                                    << QByteArray("usage: ctlrunner SIGNAL_STOP");
        QTest::newRow("extra argument") << (stop + QStringList{QStringLiteral("x")}) << QString() << 1
                                        << QByteArray("usage: ctlrunner SIGNAL_STOP");
        QTest::newRow("socket left by a run that ended")
            << stop << QStringLiteral("stale") << 3
            << QByteArray("ctlrunner: the service \"stable diffusion service\" is not running");
        QTest::newRow("no service")
            << stop << QStringLiteral("none") << (unit ? 3 : 2)
            << (unit ? QByteArray("ctlrunner: the service \"stable diffusion service\" is not running")
                     : QByteArray("ctlrunner: the service \"stable diffusion service\" is not installed"));
    }

    void ctlrunnerOutcomes()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, setup);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, message);

        WardenRun run;
        if (setup == QLatin1String("stale")) {
            // A socket file nobody listens on any more.
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            qstrncpy(address.sun_path, QFile::encodeName(run.socketPath()).constData(),
                     sizeof address.sun_path);
            QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
            ::close(fd);
            QVERIFY(QFileInfo::exists(run.socketPath()));
        }
        const Outcome outcome = runCtlrunner(run.environment(), args);
        QCOMPARE(outcome.exitCode, exitCode);
        QVERIFY2(outcome.err.startsWith(message), outcome.err.constData());
        if (exitCode != 1)
            QCOMPARE(outcome.err.count('\n'), 1);
    }

    // When the dispatcher cannot take up its control channel, main logs the
    // error and ends with the system's error code.
    void dispatcherError_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("error");
        QTest::newRow("a copy already runs") << QStringLiteral("running") << EADDRINUSE;
        QTest::newRow("socket folder cannot be made") << QStringLiteral("nodir") << ENOENT;
        QTest::newRow("socket path too long") << QStringLiteral("long") << ENAMETOOLONG;
        QTest::newRow("a file that is no socket") << QStringLiteral("file") << EADDRINUSE;
    }

    void dispatcherError()
    {
        QFETCH(QString, setup);
        QFETCH(int, error);

        WardenRun run;
        QProcessEnvironment env = run.environment();
        if (setup == QLatin1String("running")) {
            QVERIFY(run.start());
        } else if (setup == QLatin1String("nodir")) {
            env.insert(QStringLiteral("PROCWARDEN_CONTROL_SOCKET"),
                       run.dir() + QStringLiteral("/a/b/control.sock"));
        } else if (setup == QLatin1String("long")) {
            env.insert(QStringLiteral("PROCWARDEN_CONTROL_SOCKET"),
                       run.dir() + QLatin1Char('/') + QString(120, 'x'));
        } else {
            QFile file(run.socketPath());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("kept");
        }
        QTemporaryDir work;
        QProcess second;
        second.setProcessEnvironment(env);
        second.setWorkingDirectory(work.path());
        second.start(binary(QStringLiteral("procwarden")), QStringList());
        QVERIFY(second.waitForFinished(30000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), error);

        QFile log(work.filePath(QStringLiteral("log.txt")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = log.readAll().split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines.at(0).endsWith("] My Sample Service: Main: Entry"));
        QVERIFY(lines.at(1).endsWith("] My Sample Service: Main: StartServiceCtrlDispatcher returned error"));
        if (setup == QLatin1String("running"))
            QCOMPARE(run.sendControl(146), QByteArray("OK\n"));
        if (setup == QLatin1String("file")) {
            QFile kept(run.socketPath());
            QVERIFY(kept.open(QIODevice::ReadOnly));
            QCOMPARE(kept.readAll(), QByteArray("kept"));
        }
    }

private:
    QTemporaryDir m_tools;
    QString m_target;
    QString m_other;
};

QTEST_GUILESS_MAIN(TestProcwarden)
#include "tst_procwarden.moc"
