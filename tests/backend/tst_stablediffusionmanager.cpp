// The web UI status model: the state table walked through its updates, the
// process-wide launch counter, the start log's runtime errors and the lines.
#include "CStableDiffusionManger.h"
#include "MessageCapture.h"
#include "RelocatedTestMain.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace {

const QString notWork = QStringLiteral("STABLE_DIFFUSION_NOT_WORK");
const QString work = QStringLiteral("STABLE_DIFFUSION_WORK");
const QString startEnd = QStringLiteral("STABLE_DIFFUSION_START_END");
const QString runtimeErrors = QStringLiteral("STABLE_DIFFUSION_RUNTIME_ERRORS");
const QString initStatus = QStringLiteral("m_stablediffusion_status->don't INIT");

QString launchText(int n)
{
    return QStringLiteral("STABLE_DIFFUSION_LAUNCH_PROCESS : ") + QString::number(n);
}

struct Step
{
    enum Kind
    {
        Update,   // update_tree_model and check what it gives
        Launch,   // start_stablediffusion with a real program
        Follow,   // set_process_start_stable(true)
        Stop,     // set_process_start_stable(false)
        Up,       // a liveness probe was answered
        Down,     // a liveness probe failed
        StartLog, // the start log's content; null removes it
    };
    Kind kind = Update;
    QString status;
    int icon = 0;
    bool stop = false;
    bool start = false;
    QByteArray log;
};

// An update whose text follows a launch or ends one: stop offered, start not.
Step launching(const QString& status, int icon)
{
    return {Step::Update, status, icon, true, false, {}};
}
Step notWorking()
{
    return {Step::Update, notWork, 2, false, true, {}};
}
Step working()
{
    return {Step::Update, work, 3, true, false, {}};
}
Step act(Step::Kind kind)
{
    Step s;
    s.kind = kind;
    return s;
}
Step startLog(const QByteArray& content)
{
    Step s;
    s.kind = Step::StartLog;
    s.log = content;
    return s;
}

const QByteArray oneError("Launching Web UI\nRuntimeError: Couldn't load custom C++ ops\n");
const QByteArray twoErrors = oneError + "Traceback\nRuntimeError: CUDA out of memory\n";

} // namespace

Q_DECLARE_METATYPE(QList<Step>)

class TestStableDiffusionManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void stateWalk_data();
    void stateWalk();
    void countRuntimeErrors_data();
    void countRuntimeErrors();
    void debugLines();

private:
    void writeStartLog(const QByteArray& content);
    QStringList launcherEnds(const MessageCapture& capture) const;

    QTemporaryDir m_dir;
    QString m_program;
    QString m_marks;
};

#ifdef Q_OS_WIN
const char* const kMarkLine = "launched\r\n";
#else
const char* const kMarkLine = "launched\n";
#endif

void TestStableDiffusionManager::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // The start log is the one beside this copy of the test, no one else's.
    QCOMPARE(startLogPath(), QCoreApplication::applicationDirPath() + QStringLiteral("/start.log"));
    QVERIFY(QFileInfo(QCoreApplication::applicationDirPath()) !=
            QFileInfo(qEnvironmentVariable("TB_BIN_DIR")));

    // The web UI's batch file: each launch leaves a mark.
    m_marks = m_dir.filePath(QStringLiteral("launches"));
#ifdef Q_OS_WIN
    // A batch file, started by its path as the web UI's is.
    m_program = m_dir.filePath(QStringLiteral("webui.bat"));
    QFile program(m_program);
    QVERIFY(program.open(QIODevice::WriteOnly));
    // Launches overlap, and a second cmd cannot open the file while the first
    // appends: a folder made and removed around the append serves as a lock.
    const QByteArray marks = QDir::toNativeSeparators(m_marks).toLocal8Bit();
    program.write("@echo off\r\n:lock\r\ncmd /c exit 0\r\nmkdir \"" + marks +
                  ".lock\" 2>nul\r\n"
                  "if errorlevel 1 goto lock\r\necho launched>> \"" +
                  marks + "\"\r\nrmdir \"" + marks + ".lock\"\r\n");
#else
    m_program = m_dir.filePath(QStringLiteral("webui.sh"));
    QFile program(m_program);
    QVERIFY(program.open(QIODevice::WriteOnly));
    program.write("#!/bin/sh\necho launched >> '" + QFile::encodeName(m_marks) + "'\n");
#endif
    program.close();
    QVERIFY(program.setPermissions(program.permissions() | QFileDevice::ExeOwner));
}

void TestStableDiffusionManager::init()
{
    launch_counter = 1;
    QFile::remove(m_marks);
    writeStartLog("1");
}

void TestStableDiffusionManager::cleanup()
{
    QFile::remove(startLogPath());
}

void TestStableDiffusionManager::writeStartLog(const QByteArray& content)
{
    const QString path = QCoreApplication::applicationDirPath() + QStringLiteral("/start.log");
    QFile::remove(path);
    if (content.isNull())
        return;
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), content.size());
}

QStringList TestStableDiffusionManager::launcherEnds(const MessageCapture& capture) const
{
    return capture.matching(QStringLiteral("End BEFORE EXIT run utilityPath= ") + m_program);
}

void TestStableDiffusionManager::stateWalk_data()
{
    QTest::addColumn<QList<Step>>("steps");
    const Step launch = act(Step::Launch);
    const Step follow = act(Step::Follow);
    const Step stop = act(Step::Stop);
    const Step up = act(Step::Up);
    const Step down = act(Step::Down);

    QTest::newRow("before any probe succeeded") << QList<Step>{notWorking(), notWorking()};
    QTest::newRow("launch while the web UI is down")
        << QList<Step>{launch, launching(launchText(2), 1), launching(launchText(3), 0),
                       launching(launchText(4), 1), launching(launchText(5), 0)};
    QTest::newRow("launch while the web UI already answers")
        << QList<Step>{up, working(), launch, launching(startEnd, 1), working(), working()};
    QTest::newRow("web UI answers during a launch, counter starts again")
        << QList<Step>{launch,
                       launching(launchText(2), 1),
                       launching(launchText(3), 0),
                       up,
                       launching(startEnd, 1),
                       working(),
                       down,
                       notWorking(),
                       launch,
                       launching(launchText(2), 1)};
    QTest::newRow("the end of a launch keeps the icon of its update")
        << QList<Step>{launch,
                       launching(launchText(2), 1),
                       launching(launchText(3), 0),
                       launching(launchText(4), 1),
                       up,
                       launching(startEnd, 0),
                       working()};
    QTest::newRow("one runtime error goes on, the second ends the launch") << QList<Step>{
        startLog(oneError), launch, launching(launchText(2), 1), launching(launchText(3), 0),
        startLog(twoErrors), launching(runtimeErrors, 1), notWorking(),
        // The errors stay in the log: the next launch ends at once.
        launch, launching(runtimeErrors, 1), startLog("1"), launch, launching(launchText(2), 1)};
    QTest::newRow("runtime errors win over an answering web UI")
        << QList<Step>{up, startLog(twoErrors), working(), launch, launching(runtimeErrors, 1), working()};
    QTest::newRow("runtime errors are only looked for during a launch")
        << QList<Step>{startLog(twoErrors), notWorking(), up, working(), down, notWorking()};
    QTest::newRow("other letter cases do not count")
        << QList<Step>{startLog("runtimeerror\nRUNTIMEERROR\nRuntime Error\nruntimeError\nRuntimeError\n"),
                       launch, launching(launchText(2), 1), launching(launchText(3), 0)};
    QTest::newRow("a line counts once however often the word occurs")
        << QList<Step>{startLog("RuntimeError RuntimeError RuntimeError\n"), launch,
                       launching(launchText(2), 1), launching(launchText(3), 0)};
    QTest::newRow("a start log that cannot be read lets the launch go on") << QList<Step>{
        startLog(QByteArray()), launch, launching(launchText(2), 1), up, launching(startEnd, 0)};
    QTest::newRow("a stop during a launch keeps the counter") << QList<Step>{launch,
                                                                             launching(launchText(2), 1),
                                                                             launching(launchText(3), 0),
                                                                             stop,
                                                                             notWorking(),
                                                                             launch,
                                                                             launching(launchText(4), 1),
                                                                             launching(launchText(5), 0),
                                                                             stop,
                                                                             up,
                                                                             working(),
                                                                             follow,
                                                                             launching(startEnd, 1)};
    QTest::newRow("following without a program") << QList<Step>{
        follow, launching(launchText(2), 1), stop, notWorking(), follow, launching(launchText(3), 0)};
}

void TestStableDiffusionManager::stateWalk()
{
    QFETCH(QList<Step>, steps);

    MessageCapture capture;
    CStableDiffusionManger manager;
    int launches = 0;
    bool following = false;
    const QString startLogLine = QLatin1Char('"') + startLogPath() + QLatin1Char('"');

    for (int i = 0; i < steps.size(); ++i) {
        const Step& step = steps.at(i);
        const QByteArray where = "step " + QByteArray::number(i);
        switch (step.kind) {
        case Step::Launch:
            manager.start_stablediffusion(m_program);
            ++launches;
            following = true;
            break;
        case Step::Follow:
        case Step::Stop:
            manager.set_process_start_stable(step.kind == Step::Follow);
            following = step.kind == Step::Follow;
            break;
        case Step::Up:
        case Step::Down:
            manager.set_status_is_stable_diffusion_run(step.kind == Step::Up);
            break;
        case Step::StartLog:
            writeStartLog(step.log);
            break;
        case Step::Update: {
            // The launch threads write lines too: look only at what this update adds.
            const int mark = capture.lines().size();
            const CTreeModel model = manager.update_tree_model();
            QVERIFY2(model.status() == step.status,
                     where + ": " + model.status().toUtf8() + " instead of " + step.status.toUtf8());
            QVERIFY2(model.icon_index() == step.icon,
                     where + ": icon " + QByteArray::number(model.icon_index()));
            QVERIFY2(model.is_stop_enabled() == step.stop, where);
            QVERIFY2(model.is_start_enabled() == step.start, where);
            const bool stillFollowing =
                step.status.startsWith(QLatin1String("STABLE_DIFFUSION_LAUNCH_PROCESS"));
            QVERIFY2(model.is_launch_process() == stillFollowing, where);
            // The start log is read only while a launch is followed.
            const QStringList added = capture.lines().mid(mark);
            QVERIFY2(added.count(startLogLine) == (following ? 1 : 0), where);
            QVERIFY2(added.filter(QStringLiteral("STABLE_DIFFUSION_NOT_WORK")).size() ==
                         (step.status == notWork ? 1 : 0),
                     where);
            QVERIFY2(added.count(QStringLiteral(" AHTUNG ЧТО-ТО СЛОМАЛОСЬ")) ==
                         (step.status == runtimeErrors ? 1 : 0),
                     where);
            following = stillFollowing;
            break;
        }
        }
        QCOMPARE(manager.get_stablediffusion_status(), initStatus);
    }

    // Every launch ran the program, on a thread of its own.
    QTRY_COMPARE_WITH_TIMEOUT(launcherEnds(capture).size(), launches, 30000);
    if (launches > 0) {
        QFile marks(m_marks);
        QVERIFY(marks.open(QIODevice::ReadOnly));
        QCOMPARE(marks.readAll(), QByteArray(kMarkLine).repeated(launches));
    }
}

void TestStableDiffusionManager::countRuntimeErrors_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no start log
    QTest::addColumn<int>("count");

    QTest::newRow("no start log") << QByteArray() << -1;
    QTest::newRow("reset at start-up") << QByteArray("1") << 0;
    QTest::newRow("empty") << QByteArray("") << 0;
    QTest::newRow("two lines") << twoErrors << 2;
    QTest::newRow("anywhere in the line, once per line")
        << QByteArray("xRuntimeErrorx\nRuntimeErrorRuntimeError\n  at RuntimeError") << 3;
    QTest::newRow("CR LF line ends") << QByteArray("RuntimeError\r\nok\r\nRuntimeError\r\n") << 2;
    QTest::newRow("other letter cases") << QByteArray("runtimeerror\nRUNTIMEERROR\nRuntime Error\n") << 0;
}

void TestStableDiffusionManager::countRuntimeErrors()
{
    QFETCH(QByteArray, content);
    QFETCH(int, count);
    writeStartLog(content);
    QCOMPARE(::countRuntimeErrors(), count);
}

void TestStableDiffusionManager::debugLines()
{
    const QString timed = QStringLiteral(R"(^\[ \d\d:\d\d:\d\d \]\[ )");
    MessageCapture capture;
    CStableDiffusionManger manager;
    manager.set_process_start_stable(true);
    manager.set_process_start_stable(false);
    manager.set_status_is_stable_diffusion_run(true);
    manager.start_stablediffusion(m_program);
    const QString path = startLogPath();
    QTRY_COMPARE_WITH_TIMEOUT(launcherEnds(capture).size(), 1, 30000);

    const QStringList expected{
        timed + QRegularExpression::escape("CStableDiffusionManger::CStableDiffusionManger() ] : Create! ") +
            "$",
        timed +
            QRegularExpression::escape(
                "void CStableDiffusionManger::set_process_start_stable(bool) ] : bVal= true") +
            "$",
        timed +
            QRegularExpression::escape(
                "void CStableDiffusionManger::set_process_start_stable(bool) ] : bVal= false") +
            "$",
        timed + QRegularExpression::escape("void CTreeModel::setIs_stable_diffusion_not_work(bool) ] :") +
            "$",
        timed +
            QRegularExpression::escape("void CStableDiffusionManger::start_stablediffusion(QString) ] :") +
            "$",
        "^" + QRegularExpression::escape(QLatin1Char('"') + path + QLatin1Char('"')) + "$",
    };
    const QStringList lines = capture.lines();
    int at = 0;
    for (const QString& pattern : expected) {
        const QRegularExpression re(pattern);
        while (at < lines.size() && !re.match(lines.at(at)).hasMatch())
            ++at;
        QVERIFY2(at < lines.size(), qPrintable("no line, in order, for " + pattern));
        ++at;
    }
}

TB_RELOCATED_TEST_MAIN(TestStableDiffusionManager)
#include "tst_stablediffusionmanager.moc"
