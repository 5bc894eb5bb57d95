// Start-up of the real program without a tray (QT_QPA_PLATFORM=offscreen):
// the start log, the installation check, the fatal paths and their exit codes.
#include "ProgramRun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>
#include <QTest>

#include <unistd.h>

namespace {

const QString systrayBox =
    QStringLiteral("critical\tSystray\tI couldn't detect any system tray on this system.");

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

const QFileDevice::Permissions everyone =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup |
    QFileDevice::WriteGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::WriteOther |
    QFileDevice::ExeOther;

QStringList asUnprivilegedUser()
{
    return {QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
            QStringLiteral("--clear-groups")};
}

} // namespace

class TstStartup : public QObject
{
    Q_OBJECT

private slots:
    void startsInOrderAndEndsWithoutTray();
    void startLog_data();
    void startLog();
    void startLogInStateFolderWhenInstallFolderIsReadOnly();
    void missingFile_data();
    void missingFile();
    void missingSetting_data();
    void missingSetting();
    void takenPortEndsBeforeTheChannel();
};

void TstStartup::startsInOrderAndEndsWithoutTray()
{
    ProgramRun run;
    QVERIFY2(run.prepare(), qPrintable(run.error()));
    run.start(QStringLiteral("offscreen"));
    QVERIFY(run.waitForExit());
    QCOMPARE(run.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.exitCode(), 1);
    QCOMPARE(run.boxes(), QStringList{systrayBox});

    // Steps of the start-up, in this order.
    const QStringList steps{
        QStringLiteral("Файл успешно создан с текстом '1'"),
        QStringLiteral("[ CTcpServer::CTcpServer(QObject*) ] : "),
        QStringLiteral("[ void CForm::setIcon(int) ] : index= 2"),
        QStringLiteral("][ void CForm::update_tree() ] :"),
        QStringLiteral("[Client::displayError] : The host was not found. Please check the host name and port "
                       "settings."),
        QStringLiteral("[ operator() ] : [ContinueInit]"),
        QStringLiteral("[ ContinueInit ]"),
        QStringLiteral("[ send ] : connectToServer(IPC_NAME) ipc_stablediffusion"),
        QStringLiteral("[Server::~Server] : "),
    };
    int at = -1;
    for (const QString& step : steps) {
        const int next = run.indexOf(step, at + 1);
        QVERIFY2(next > at,
                 qPrintable(QStringLiteral("missing or out of order: ") + step + "\n" + run.transcript()));
        at = next;
    }
    const int countLine = run.lines().indexOf(QStringLiteral("0 0"));
    QVERIFY(countLine > run.indexOf(steps.first()));
    QVERIFY(countLine < run.indexOf(steps.at(1)));
    QCOMPARE(run.iconIndexes(), QList<int>{2});
    QCOMPARE(readFile(run.startLogPath()), QByteArray("1"));
    // No worker thread was asked to stop by force, and nothing crashed on the way out.
    QCOMPARE(run.count(QStringLiteral("QThread: Destroyed while thread is still running")), 0);
}

void TstStartup::startLog_data()
{
    QTest::addColumn<QByteArray>("content"); // empty: no log yet
    QTest::addColumn<bool>("writable");
    QTest::addColumn<QString>("countLine");
    QTest::addColumn<bool>("box");

    const QByteArray two = "Traceback\nRuntimeError: CUDA out of memory\nsomething\nRuntimeError: again\n";
    QTest::newRow("no log yet") << QByteArray() << true << "0 0" << false;
    QTest::newRow("old errors are replaced") << two + two << true << "0 0" << false;
    QTest::newRow("unwritable, one error line")
        << QByteArray("RuntimeError RuntimeError\nfine\n") << false << "1 1" << false;
    QTest::newRow("unwritable, two error lines") << two << false << "2 2" << true;
    QTest::newRow("unwritable, other letter case")
        << QByteArray("runtimeerror\nRUNTIMEERROR\nRuntime Error\n") << false << "0 0" << false;
}

void TstStartup::startLog()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, writable);
    QFETCH(QString, countLine);
    QFETCH(bool, box);

    ProgramRun run;
    QVERIFY2(run.prepare(), qPrintable(run.error()));
    // Privileges would write anyway: as root the unwritable cases run as an
    // unprivileged user, who cannot write the install folder either; the start
    // log then lies in that user's state folder.
    const bool asNobody = !writable && geteuid() == 0;
    const QString logPath = asNobody ? run.stateStartLogPath() : run.startLogPath();
    if (!content.isEmpty()) {
        QVERIFY(QDir().mkpath(QFileInfo(logPath).path()));
        QFile log(logPath);
        QVERIFY(log.open(QIODevice::WriteOnly));
        log.write(content);
    }
    QStringList wrapper;
    if (asNobody) {
        // Run's folders usable by everyone, the start log itself read-only.
        for (const QString& dir : {run.root(), run.root() + QStringLiteral("/home"), run.tmpDir()})
            QVERIFY(QFile::setPermissions(dir, everyone));
        QVERIFY(QFile::setPermissions(logPath, QFileDevice::ReadOwner | QFileDevice::ReadOther));
        QFile boxes(run.root() + QStringLiteral("/boxes.log"));
        QVERIFY(boxes.open(QIODevice::WriteOnly));
        QVERIFY(boxes.setPermissions(everyone));
        wrapper = asUnprivilegedUser();
    } else if (!writable) {
        QVERIFY(QFile::setPermissions(logPath, QFileDevice::ReadOwner | QFileDevice::ReadOther));
    }

    run.start(QStringLiteral("offscreen"), QString(), {}, wrapper);
    QVERIFY(run.waitForExit());
    QCOMPARE(run.exitCode(), 1);

    QVERIFY2(run.lines().contains(countLine), run.transcript().constData());
    QCOMPARE(readFile(logPath), writable ? QByteArray("1") : content);
    QCOMPARE(run.count(QStringLiteral("Файл успешно создан с текстом '1'")), writable ? 1 : 0);
    QCOMPARE(run.count(QStringLiteral("Ошибка создания файла:  \"")), writable ? 0 : 1);

    QStringList boxes;
    if (box)
        boxes << QStringLiteral("critical\tОшибка\tAn error occurred, details in the log file:") + logPath;
    boxes << systrayBox;
    QCOMPARE(run.boxes(), boxes);
}

void TstStartup::startLogInStateFolderWhenInstallFolderIsReadOnly()
{
    if (geteuid() != 0)
        QSKIP("needs root to run the program as another user");
    ProgramRun run;
    QVERIFY2(run.prepare(), qPrintable(run.error()));
    // The install folder stays root's; everything else of the run is usable by everyone.
    for (const QString& dir : {run.root(), run.root() + QStringLiteral("/home"), run.tmpDir()})
        QVERIFY(QFile::setPermissions(dir, everyone));
    QFile boxes(run.root() + QStringLiteral("/boxes.log"));
    QVERIFY(boxes.open(QIODevice::WriteOnly));
    QVERIFY(boxes.setPermissions(everyone));

    run.start(QStringLiteral("offscreen"), QString(), {}, asUnprivilegedUser());
    QVERIFY(run.waitForExit());
    QCOMPARE(run.exitCode(), 1);
    QVERIFY(!QFile::exists(run.startLogPath()));
    QCOMPARE(readFile(run.stateStartLogPath()), QByteArray("1"));
    // Every use of the start log names the same file.
    const QString quoted = QLatin1Char('"') + run.stateStartLogPath() + QLatin1Char('"');
    QVERIFY2(run.count(quoted) >= 1, run.transcript().constData());
    QCOMPARE(run.count(QStringLiteral("/app/start.log")), 0);
    QCOMPARE(run.count(QStringLiteral("Файл успешно создан с текстом '1'")), 1);
}

void TstStartup::missingFile_data()
{
    QTest::addColumn<QStringList>("missing"); // value names, or "ctlrunner"
    QTest::addColumn<QString>("reported");
    QTest::addColumn<bool>("asFolder");

    for (const QString& name : ProgramRun::valueNames())
        QTest::newRow(qPrintable(name)) << QStringList{name} << name << false;
    QTest::newRow("ctlrunner") << QStringList{QStringLiteral("ctlrunner")} << "ctlrunner" << false;
    QTest::newRow("only the first of two")
        << QStringList{QStringLiteral("path_python"), QStringLiteral("ctlrunner")} << "path_python" << false;
    QTest::newRow("order of the check")
        << QStringList{QStringLiteral("path_python"), QStringLiteral("path_python_tcp_server")}
        << "path_python_tcp_server" << false;
    QTest::newRow("a folder is no file")
        << QStringList{QStringLiteral("path_qt_systray_gui")} << "path_qt_systray_gui" << true;
}

void TstStartup::missingFile()
{
    QFETCH(QStringList, missing);
    QFETCH(QString, reported);
    QFETCH(bool, asFolder);

    ProgramRun run;
    QVERIFY2(run.prepare(), qPrintable(run.error()));
    for (const QString& name : missing) {
        const QString path = name == QLatin1String("ctlrunner") ? run.ctlrunnerPath() : run.valueFile(name);
        QVERIFY(QFile::remove(path));
        if (asFolder)
            QVERIFY(QDir().mkpath(path));
    }
    const QString reportedPath =
        reported == QLatin1String("ctlrunner") ? run.ctlrunnerPath() : run.valueFile(reported);

    run.start(QStringLiteral("offscreen"));
    QVERIFY(run.waitForExit());
    QCOMPARE(run.exitCode(), 1);
    QCOMPARE(run.boxes(),
             QStringList{QStringLiteral("critical\tError\tFile does not exist: ") + reportedPath});
    if (reported == QLatin1String("ctlrunner"))
        QVERIFY(reportedPath.endsWith(QStringLiteral("/app/ctlrunner")));
    // The check runs as this copy becomes the running one, before its threads start.
    QVERIFY(run.indexOf(QStringLiteral("[ operator() ] : [ContinueInit]")) >= 0);
    QCOMPARE(run.count(QStringLiteral("[ ContinueInit ]")), 0);
}

void TstStartup::missingSetting_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("empty");
    for (const QString& name : ProgramRun::valueNames())
        QTest::newRow(qPrintable(name)) << name << false;
    QTest::newRow("empty path_python") << "path_python" << true;
}

void TstStartup::missingSetting()
{
    QFETCH(QString, name);
    QFETCH(bool, empty);

    ProgramRun run;
    QVERIFY2(run.prepare(), qPrintable(run.error()));
    if (empty)
        run.setValue(name, QByteArray());
    else
        run.removeValue(name);

    run.start(QStringLiteral("offscreen"));
    QVERIFY(run.waitForExit());
    QCOMPARE(run.exitCode(), 1);
    // The tray window's own read ends the program; only the reader reports it.
    QCOMPARE(run.count(QStringLiteral("][ void CForm::update_tree() ] :")), 0);
    QCOMPARE(run.boxes().filter(QStringLiteral("File does not exist")), QStringList());
    QCOMPARE(run.boxes().size(), 1);
    QVERIFY2(run.boxes().constFirst().contains(name), qPrintable(run.boxes().constFirst()));
}

void TstStartup::takenPortEndsBeforeTheChannel()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, 20837));

    ProgramRun run;
    QVERIFY2(run.prepare(), qPrintable(run.error()));
    run.start(QStringLiteral("offscreen"));
    QVERIFY(run.waitForExit());
    QCOMPARE(run.exitCode(), 1);
    QCOMPARE(run.boxes().size(), 1);
    QVERIFY2(
        run.boxes().constFirst().startsWith(QStringLiteral("critical\tError\tUnable to start the server: ")),
        qPrintable(run.boxes().constFirst()));
    QCOMPARE(run.count(QStringLiteral("connectToServer(IPC_NAME)")), 0);
    QCOMPARE(run.count(QStringLiteral("CForm::setIcon")), 0);
}

QTEST_GUILESS_MAIN(TstStartup)
#include "tst_startup.moc"
