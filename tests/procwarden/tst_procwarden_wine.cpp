// The Windows build of procwarden under Wine's Service Control Manager:
// created and started with sc, controlled by ctlrunner.exe and svccontrol.exe,
// its settings written with reg; the log checked byte for byte (CR LF).
#include "ControlLines.h"
#include "WinePrefix.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtTest>

#include <memory>
#include <vector>

namespace {
using namespace ControlLines;

const QString ServiceName = QStringLiteral("stable diffusion service");
const QStringList WalkErrors{QStringLiteral("My Sample Service: err str557"),
                             QStringLiteral("My Sample Service: err str558"),
                             QStringLiteral("My Sample Service: err str559")};
const QString SettingsKey = QStringLiteral("HKLM\\SOFTWARE\\Cinema4DPluginSettings");
// Where the interpreter lives, and the spelling the setting uses for it.
const QString PythonPath = QStringLiteral("C:\\webui\\venv\\Scripts\\python.exe");
const QString PythonSetting = QStringLiteral("c:\\WEBUI\\Venv\\scripts\\PYTHON.EXE");
const QString OtherPath = QStringLiteral("C:\\other\\python.exe");

QString winBin(const QString& name)
{
    return qEnvironmentVariable("TB_WIN64_BIN_DIR") + QLatin1Char('/') + name;
}

// Messages of a CR LF log with the stamps taken off; false in ok when a line
// ends without its carriage return.
QStringList messagesOf(const QByteArray& bytes, bool* ok)
{
    *ok = true;
    QList<QByteArray> lines = bytes.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    static const QRegularExpression stamp(
        QStringLiteral("^\\[(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                       "( [1-9]|[12]\\d|3[01]) ([01]\\d|2[0-3]):[0-5]\\d:[0-5]\\d \\d{4}\\] "));
    QStringList messages;
    for (QByteArray line : lines) {
        if (!line.endsWith('\r'))
            *ok = false;
        line.chop(1);
        QString text = QString::fromLocal8Bit(line);
        const QRegularExpressionMatch match = stamp.match(text);
        if (match.hasMatch())
            text = text.mid(match.capturedLength());
        messages << text;
    }
    return messages;
}

} // namespace

class TestProcwardenWine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        for (const char* name : {"procwarden.exe", "ctlrunner.exe", "svccontrol.exe", "sleeper.exe",
                                 "exitcode.exe", "logwriter.exe"})
            QVERIFY2(QFileInfo(winBin(QString::fromLatin1(name))).isFile(), name);
        QVERIFY2(m_prefix.init(), qPrintable(m_prefix.error()));
        QVERIFY2(m_prefix.settle(), qPrintable(m_prefix.error()));
        // Wine ends its services with the last ordinary process of the prefix.
        QVERIFY(m_prefix.keepAlive());

        QVERIFY(copyInto(winBin(QStringLiteral("sleeper.exe")), PythonPath));
        QVERIFY(copyInto(winBin(QStringLiteral("sleeper.exe")), OtherPath));
        setPathPython(PythonSetting);

        WinePrefix::Result created = m_prefix.run(
            QStringLiteral("sc"), {QStringLiteral("create"), ServiceName, QStringLiteral("binPath="),
                                   WinePrefix::windowsPath(winBin(QStringLiteral("procwarden.exe")))});
        QVERIFY2(created.finished && created.exitCode == 0, created.out.constData());
        WinePrefix::Result started =
            m_prefix.run(QStringLiteral("sc"), {QStringLiteral("start"), ServiceName});
        QVERIFY2(started.finished && started.exitCode == 0,
                 qPrintable(QString::number(started.exitCode) +
                            QString::fromLocal8Bit(started.out + started.err)));

        // The service writes into its current directory, which the manager chose.
        QTRY_VERIFY_WITH_TIMEOUT(!logPath().isEmpty(), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(messages().size() >= 5, 30000);
        const QStringList start = messages();
        QVERIFY2(start.size() == 5, qPrintable(start.join('\n')));
        QCOMPARE(start.mid(0, 3),
                 (QStringList{QStringLiteral("My Sample Service: Main: Entry"),
                              QStringLiteral("My Sample Service: ServiceMain: Entry"),
                              QStringLiteral("My Sample Service: ServiceMain: Performing Service "
                                             "Start Operations")}));
        // Written by two threads at once.
        QVERIFY2(
            QSet<QString>(start.begin() + 3, start.end()) ==
                (QSet<QString>{
                    QStringLiteral("My Sample Service: ServiceMain: Waiting for Worker Thread to complete"),
                    QStringLiteral("My Sample Service: ServiceWorkerThread: Entry")}),
            qPrintable(start.join('\n')));
    }

    // writeLog of the Windows build: CR LF line ends, the ctime form with a space-padded day.
    void serviceLog_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("two lines, appended") << QByteArray("UTC") << QStringList{"one", "two"}
                                             << QByteArray("[Tue Dec  9 14:03:21 2025] one\r\n"
                                                           "[Tue Dec  9 14:03:21 2025] two\r\n");
        QTest::newRow("ends with a line break")
            << QByteArray("UTC") << QStringList{"before switch \\n"}
            << QByteArray("[Tue Dec  9 14:03:21 2025] before switch \r\n\r\n");
        QTest::newRow("inner line break")
            << QByteArray("UTC") << QStringList{"Error opening key \\n<KEY>"}
            << QByteArray("[Tue Dec  9 14:03:21 2025] Error opening key \r\n<KEY>\r\n");
        QTest::newRow("local time") << QByteArray("XYZ+15") << QStringList{"x"}
                                    << QByteArray("[Mon Dec  8 23:03:21 2025] x\r\n");
    }

    void serviceLog()
    {
        QFETCH(QByteArray, zone);
        QFETCH(QStringList, messages);
        QFETCH(QByteArray, expected);

        QTemporaryDir dir;
        const QByteArray previous = qgetenv("TZ");
        qputenv("TZ", zone);
        // Two runs: the second appends to what the first wrote.
        for (int run = 0; run < 2; ++run) {
            const WinePrefix::Result result =
                m_prefix.run(winBin(QStringLiteral("logwriter.exe")),
                             QStringList{QStringLiteral("1765289001")} + messages, 60000, dir.path());
            QVERIFY(result.finished && result.exitCode == 0);
        }
        qputenv("TZ", previous);
        QFile log(dir.filePath(QStringLiteral("log.txt")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QCOMPARE(log.readAll(), expected + expected);
    }

    // Threads writing at the same moment: every line whole, none lost, each
    // thread's lines in their order.
    void serviceLogThreads()
    {
        const QStringList texts{QStringLiteral("x"), QStringLiteral("a line of medium length"),
                                QStringLiteral("a much longer line, written by another thread meanwhile"),
                                QStringLiteral("short")};
        QTemporaryDir dir;
        const WinePrefix::Result result =
            m_prefix.run(winBin(QStringLiteral("logwriter.exe")),
                         QStringList{QStringLiteral("1765289001"), QStringLiteral("--threads")} + texts,
                         60000, dir.path());
        QVERIFY(result.finished && result.exitCode == 0);
        QFile log(dir.filePath(QStringLiteral("log.txt")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        bool crlf = false;
        const QStringList lines = messagesOf(log.readAll(), &crlf);
        QVERIFY(crlf);
        QHash<QString, int> next;
        for (const QString& line : lines) {
            const int space = line.lastIndexOf(QLatin1Char(' '));
            const QString text = line.left(space);
            QVERIFY2(texts.contains(text), qPrintable(line));
            const QString expected = QString::number(next[text]++);
            QVERIFY2(line.mid(space + 1) == expected,
                     qPrintable(line + QStringLiteral(", expected ") + expected));
        }
        for (const QString& text : texts)
            QCOMPARE(next.value(text), 1000);
    }

    // Codes without a walk write exactly their lines.
    void controlTable_data()
    {
        QTest::addColumn<uint>("code");
        QTest::addColumn<QStringList>("middle");

        QTest::newRow("144 with nothing to end") << 144u << QStringList{UpdateStatus, QString()};
        QTest::newRow("146 launch request")
            << 146u
            << QStringList{
                   QStringLiteral("[ServiceCtrlHandler] : MSG_GUI_REQUEST_TO_LAUNCH_STABLE_DIFFUSION "),
                   QString()};
        QTest::newRow("4 interrogate") << 4u << QStringList();
        QTest::newRow("128 user-defined without case") << 128u << QStringList();
        QTest::newRow("255 last user-defined") << 255u << QStringList();
    }

    void controlTable()
    {
        QFETCH(uint, code);
        QFETCH(QStringList, middle);
        const int before = messages().size();
        QCOMPARE(svccontrol(code), QByteArray("sent"));
        QCOMPARE(messages().mid(before), controlLines(middle));
    }

    // Both running copies of the interpreter end with exit code 0, each with
    // its line; the other program stays. Verbose mode has a line for every process.
    void terminationWalk_data()
    {
        QTest::addColumn<bool>("verbose");
        QTest::newRow("144 quiet, sent by svccontrol") << false;
        QTest::newRow("145 verbose, sent by ctlrunner") << true;
    }

    void terminationWalk()
    {
        QFETCH(bool, verbose);

        QProcess* first = startInPrefix(PythonPath, QStringLiteral("first"));
        QProcess* second = startInPrefix(PythonPath, QStringLiteral("second"));
        QProcess* other = startInPrefix(OtherPath, QStringLiteral("other"));
        QVERIFY(first && second && other);
        const int before = messages().size();

        if (verbose) {
            const WinePrefix::Result result =
                m_prefix.run(winBin(QStringLiteral("ctlrunner.exe")), {QStringLiteral("SIGNAL_STOP")});
            QVERIFY(result.finished);
            QCOMPARE(result.exitCode, 0);
            QCOMPARE(result.err, QByteArray());
        } else {
            QCOMPARE(svccontrol(144), QByteArray("sent"));
        }

        QTRY_COMPARE_WITH_TIMEOUT(first->state(), QProcess::NotRunning, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(second->state(), QProcess::NotRunning, 30000);
        QCOMPARE(first->exitCode(), 0);
        QCOMPARE(second->exitCode(), 0);
        QCOMPARE(other->state(), QProcess::Running);

        const QStringList lines = messages().mid(before);
        if (!verbose) {
            QCOMPARE(lines, controlLines({UpdateStatus, QString(), Quiet, Quiet}));
        } else {
            QVERIFY2(lines.size() > 6, qPrintable(lines.join(QLatin1Char('\n'))));
            QCOMPARE(lines.mid(0, 4), (QStringList{BeforeSwitch, QString(), RequestStop, QString()}));
            QCOMPARE(lines.last(), HandlerExit);
            const QStringList walk = lines.mid(4, lines.size() - 5);
            QCOMPARE(walk.count(Verbose), 2);
            // procwarden itself, the other program and more: examined, not matched.
            QVERIFY(walk.count(WalkErrors.first()) >= 2);
            for (const QString& line : walk)
                QVERIFY2(line == Verbose || WalkErrors.contains(line), qPrintable(line));
        }
        other->kill();
        QVERIFY(other->waitForFinished(30000));
    }

    // The setting is read at every control: without it nothing ends; once it
    // is back the next control ends the interpreter.
    void settingReadAtEveryControl()
    {
        QProcess* python = startInPrefix(PythonPath, QStringLiteral("anew"));
        QVERIFY(python);
        const WinePrefix::Result removed =
            m_prefix.run(QStringLiteral("reg"),
                         {QStringLiteral("delete"), SettingsKey, QStringLiteral("/v"),
                          QStringLiteral("path_python"), QStringLiteral("/f"), QStringLiteral("/reg:64")});
        QVERIFY(removed.finished && removed.exitCode == 0);

        int before = messages().size();
        QCOMPARE(svccontrol(144), QByteArray("sent"));
        QCOMPARE(messages().mid(before),
                 (QStringList{BeforeSwitch, QString(),
                              QStringLiteral("Error, not found <Path> in <SOFTWARE\\Cinema4DPluginSettings>"),
                              UpdateStatus, QString(), HandlerExit}));
        QCOMPARE(python->state(), QProcess::Running);

        setPathPython(PythonSetting);
        before = messages().size();
        QCOMPARE(svccontrol(144), QByteArray("sent"));
        QCOMPARE(messages().mid(before), controlLines({UpdateStatus, QString(), Quiet}));
        QTRY_COMPARE_WITH_TIMEOUT(python->state(), QProcess::NotRunning, 30000);
        QCOMPARE(python->exitCode(), 0);
    }

    // Started by hand, not by the manager: the dispatcher's error, and its code as exit code.
    void startedByHand()
    {
        QTemporaryDir dir;
        const WinePrefix::Result result = m_prefix.run(
            winBin(QStringLiteral("exitcode.exe")),
            {WinePrefix::windowsPath(winBin(QStringLiteral("procwarden.exe")))}, 60000, dir.path());
        QVERIFY(result.finished && result.exitCode == 0);
        // ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
        QCOMPARE(result.out.trimmed(), QByteArray("1063"));
        QFile log(dir.filePath(QStringLiteral("log.txt")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        bool crlf = false;
        QCOMPARE(messagesOf(log.readAll(), &crlf),
                 (QStringList{
                     QStringLiteral("My Sample Service: Main: Entry"),
                     QStringLiteral("My Sample Service: Main: StartServiceCtrlDispatcher returned error")}));
        QVERIFY(crlf);
    }

    // The stop control: the exit lines in order, the service stopped; then
    // ctlrunner finds it not running, and once deleted not installed.
    void stop()
    {
        const int before = messages().size();
        QCOMPARE(svccontrol(1), QByteArray("sent"));
        QTRY_VERIFY_WITH_TIMEOUT(messages().contains(QStringLiteral("My Sample Service: Main: Exit")), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(messages().contains(QStringLiteral("My Sample Service: ServiceMain: Exit")),
                                 15000);
        QTRY_VERIFY_WITH_TIMEOUT(m_prefix.run(QStringLiteral("sc"), {QStringLiteral("query"), ServiceName})
                                     .out.contains("STOPPED"),
                                 15000);

        QStringList lines = messages().mid(before);
        const QString stopRequest =
            QStringLiteral("My Sample Service: ServiceCtrlHandler: SERVICE_CONTROL_STOP Request");
        // Threads may pass each other: the handler's last line and the worker's
        // wake-up; ServiceMain's last line and the dispatcher's return in main.
        const int handlerExit = lines.indexOf(HandlerExit);
        QVERIFY2(handlerExit > lines.indexOf(stopRequest), qPrintable(lines.join('\n')));
        lines.removeAt(handlerExit);
        QVERIFY2(lines.size() == 8, qPrintable(lines.join('\n')));
        QCOMPARE(
            lines.mid(0, 6),
            (QStringList{BeforeSwitch, QString(), stopRequest,
                         QStringLiteral("My Sample Service: ServiceWorkerThread: Exit"),
                         QStringLiteral("My Sample Service: ServiceMain: Worker Thread Stop Event signaled"),
                         QStringLiteral("My Sample Service: ServiceMain: Performing Cleanup Operations")}));
        QVERIFY2(QSet<QString>(lines.begin() + 6, lines.end()) ==
                     (QSet<QString>{QStringLiteral("My Sample Service: ServiceMain: Exit"),
                                    QStringLiteral("My Sample Service: Main: Exit")}),
                 qPrintable(lines.join('\n')));
        bool crlf = false;
        QFile log(logPath());
        QVERIFY(log.open(QIODevice::ReadOnly));
        messagesOf(log.readAll(), &crlf);
        QVERIFY2(crlf, "every line of the log ends with CR LF");

        WinePrefix::Result ctl =
            m_prefix.run(winBin(QStringLiteral("ctlrunner.exe")), {QStringLiteral("SIGNAL_STOP")});
        QCOMPARE(ctl.exitCode, 3);
        QVERIFY2(ctl.err.startsWith("ctlrunner: the service \"stable diffusion service\" is not running"),
                 ctl.err.constData());

        const WinePrefix::Result deleted =
            m_prefix.run(QStringLiteral("sc"), {QStringLiteral("delete"), ServiceName});
        QVERIFY(deleted.finished && deleted.exitCode == 0);
        ctl = m_prefix.run(winBin(QStringLiteral("ctlrunner.exe")), {QStringLiteral("SIGNAL_STOP")});
        QCOMPARE(ctl.exitCode, 2);
        QVERIFY2(ctl.err.startsWith("ctlrunner: the service \"stable diffusion service\" is not installed"),
                 ctl.err.constData());
        QCOMPARE(ctl.err.count('\n'), 1);

        ctl = m_prefix.run(winBin(QStringLiteral("ctlrunner.exe")), {QStringLiteral("SIGNAL_START")});
        QCOMPARE(ctl.exitCode, 1);
        QVERIFY(ctl.err.startsWith("usage: ctlrunner SIGNAL_STOP"));
    }

    void cleanupTestCase()
    {
        for (auto& process : m_started) {
            process->kill();
            process->waitForFinished(10000);
        }
    }

private:
    QString linuxPath(const QString& windowsPath) const
    {
        QString relative = windowsPath.mid(3);
        relative.replace(QLatin1Char('\\'), QLatin1Char('/'));
        return m_prefix.path() + QStringLiteral("/drive_c/") + relative;
    }

    bool copyInto(const QString& source, const QString& windowsPath) const
    {
        const QString target = linuxPath(windowsPath);
        QDir().mkpath(QFileInfo(target).path());
        return QFile::copy(source, target);
    }

    void setPathPython(const QString& value)
    {
        const WinePrefix::Result result =
            m_prefix.run(QStringLiteral("reg"),
                         {QStringLiteral("add"), SettingsKey, QStringLiteral("/v"),
                          QStringLiteral("path_python"), QStringLiteral("/t"), QStringLiteral("REG_SZ"),
                          QStringLiteral("/d"), value, QStringLiteral("/f"), QStringLiteral("/reg:64")});
        QVERIFY2(result.finished && result.exitCode == 0, result.err.constData());
    }

    QString logPath() const
    {
        for (const QString& dir : {m_prefix.system32(), m_prefix.path() + QStringLiteral("/drive_c/windows")})
            if (QFileInfo::exists(dir + QStringLiteral("/log.txt")))
                return dir + QStringLiteral("/log.txt");
        return QString();
    }

    QStringList messages() const
    {
        QFile log(logPath());
        if (!log.open(QIODevice::ReadOnly))
            return {};
        bool crlf = false;
        return messagesOf(log.readAll(), &crlf);
    }

    QByteArray svccontrol(uint code) const
    {
        const WinePrefix::Result result =
            m_prefix.run(winBin(QStringLiteral("svccontrol.exe")), {QString::number(code)});
        return result.out.trimmed() + (result.err.isEmpty() ? QByteArray() : " / " + result.err.trimmed());
    }

    // Starts a Windows program of the prefix and waits until it has marked that it runs.
    QProcess* startInPrefix(const QString& windowsPath, const QString& marker)
    {
        const QString windowsMarker = QStringLiteral("C:\\webui\\") + marker + QStringLiteral(".run");
        QFile::remove(linuxPath(windowsMarker));
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(m_prefix.environment());
        process->start(WinePrefix::wineBinary(), {windowsPath, windowsMarker});
        if (!process->waitForStarted(30000))
            return nullptr;
        QDeadlineTimer deadline(60000);
        while (!QFileInfo::exists(linuxPath(windowsMarker))) {
            if (deadline.hasExpired() || process->state() != QProcess::Running)
                return nullptr;
            QTest::qWait(50);
        }
        m_started.push_back(std::move(process));
        return m_started.back().get();
    }

    WinePrefix m_prefix;
    std::vector<std::unique_ptr<QProcess>> m_started;
};

QTEST_GUILESS_MAIN(TestProcwardenWine)
#include "tst_procwarden_wine.moc"
