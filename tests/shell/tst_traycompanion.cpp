// The tray's desktop companions with the real program in a real tray (Xvfb +
// trayer): the menu entries and what they open (through TRAYBRIDGE_OPEN_LOG),
// start at login both ways, the notifications, the log file, and two users'
// copies side by side.
#include "FakeWebUi.h"
#include "ProgramRun.h"
#include "TrayDesktop.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>
#include <QUrl>

#include <unistd.h>

namespace {

const QString notifyLine = QStringLiteral("[ void CForm::notify(const QString&, const QString&, "
                                          "QSystemTrayIcon::MessageIcon, const QString&) ] : ");
// A balloon shown: the prefix's closing piece, a blank, then the title and text.
const QString shownLine = notifyLine + QLatin1Char(' ');
const QString menuLine = QStringLiteral("[ void CForm::refresh_menu_checks() ] : start at login: ");

QString fileUrl(const QString& path)
{
    return QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

const QFileDevice::Permissions everyone =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup |
    QFileDevice::WriteGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::WriteOther |
    QFileDevice::ExeOther;
const QFileDevice::Permissions ownerOnly =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;

// How the test reaches another network namespace (own loopback, same files).
QStringList otherNetwork()
{
    QProcess probe;
    probe.start(QStringLiteral("unshare"), {QStringLiteral("-n"), QStringLiteral("true")});
    if (probe.waitForFinished(10000) && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0)
        return {QStringLiteral("unshare"), QStringLiteral("-n")};
    return {};
}

const QStringList asNobody{QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"),
                           QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups")};

// Makes a run usable by the unprivileged user: its folders open to everyone,
// and a runtime folder of that user's own.
bool shareWithNobody(ProgramRun& run, const QString& runtimeDir)
{
    for (const QString& dir : {run.root(), run.root() + QStringLiteral("/home")}) {
        if (!QFile::setPermissions(dir, everyone))
            return false;
    }
    if (!QDir().mkpath(runtimeDir) || ::chown(QFile::encodeName(runtimeDir).constData(), 65534, 65534) != 0 ||
        !QFile::setPermissions(runtimeDir, ownerOnly))
        return false;
    run.setTmpDir(runtimeDir);
    for (const char* file : {"/boxes.log", "/opened.log", "/ctlrunner.calls"}) {
        QFile f(run.root() + QLatin1String(file));
        if (!f.open(QIODevice::WriteOnly) || !f.setPermissions(everyone))
            return false;
    }
    return true;
}

} // namespace

class TstTrayCompanion : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void menuEntriesOpenFolderAndLog();
    void startAtLoginBothWays_data();
    void startAtLoginBothWays();
    void notificationsOfWebUiAndImages();
    void stopFailureNotifications_data();
    void stopFailureNotifications();
    void notificationsTurnedOffStayOff();
    void logFileKeepsLinesWithTimeAndRotates();
    void twoUsersRunTheirOwnCopies();

private:
    bool startPrimary(ProgramRun& run, TrayDesktop::Window& icon, const QStringList& wrapper = {});
    bool prepareAndStartPrimary(ProgramRun& run, TrayDesktop::Window& icon);
    bool useMenu(ProgramRun& run, const TrayDesktop::Window& icon, const QStringList& keys);
    // Picks the n-th enabled entry from the top (not running: 1 is start).
    bool chooseEntry(ProgramRun& run, const TrayDesktop::Window& icon, int n);
    TrayDesktop::Window popupOf(const ProgramRun& run, int minHeight) const;

    TrayDesktop m_desktop;
    FakeWebUi m_webUi;
};

void TstTrayCompanion::initTestCase()
{
    QVERIFY2(m_desktop.start(qEnvironmentVariable("TB_BIN_DIR") + QStringLiteral("/tray_probe")),
             qPrintable(m_desktop.error()));
}

void TstTrayCompanion::cleanup()
{
    m_webUi.stop();
}

bool TstTrayCompanion::startPrimary(ProgramRun& run, TrayDesktop::Window& icon, const QStringList& wrapper)
{
    run.start(QStringLiteral("xcb"), m_desktop.display(), {}, wrapper);
    if (!run.waitForLine(QStringLiteral("[ ContinueInit ]"))) {
        qWarning().noquote() << run.transcript();
        return false;
    }
    icon = m_desktop.waitForTrayIcon(run.pid(), 20000);
    return !icon.id.isEmpty();
}

bool TstTrayCompanion::prepareAndStartPrimary(ProgramRun& run, TrayDesktop::Window& icon)
{
    if (!run.prepare()) {
        qWarning().noquote() << run.error();
        return false;
    }
    return startPrimary(run, icon);
}

TrayDesktop::Window TstTrayCompanion::popupOf(const ProgramRun& run, int minHeight) const
{
    return m_desktop.popupOf(run.pid(), minHeight);
}

bool TstTrayCompanion::useMenu(ProgramRun& run, const TrayDesktop::Window& icon, const QStringList& keys)
{
    return m_desktop.useMenu(run.pid(), icon, keys);
}

bool TstTrayCompanion::chooseEntry(ProgramRun& run, const TrayDesktop::Window& icon, int n)
{
    QStringList keys;
    for (int i = 0; i < n; ++i)
        keys << QStringLiteral("Down");
    keys << QStringLiteral("Return");
    return useMenu(run, icon, keys);
}

void TstTrayCompanion::menuEntriesOpenFolderAndLog()
{
    ProgramRun run;
    TrayDesktop::Window icon;
    QVERIFY(prepareAndStartPrimary(run, icon));
    // Not running: start is the first enabled entry, the desktop entries follow.
    QVERIFY(run.waitForLine(QStringLiteral("][ void CForm::update_tree() ] :")));

    QVERIFY(chooseEntry(run, icon, 2));
    QTRY_COMPARE_WITH_TIMEOUT(run.opened().size(), 1, 10000);
    QCOMPARE(run.opened().at(0), fileUrl(run.imagesFolder()));
    // The folder is made when it is not there yet.
    QVERIFY(QFileInfo(run.imagesFolder()).isDir());

    QVERIFY(chooseEntry(run, icon, 3));
    QTRY_COMPARE_WITH_TIMEOUT(run.opened().size(), 2, 10000);
    QCOMPARE(run.opened().at(1), fileUrl(run.logFilePath()));
    QVERIFY(QFileInfo(run.logFilePath()).isFile());
    QVERIFY(run.isRunning());
    QCOMPARE(run.count(QStringLiteral("[ void CForm::start_stablediffusion() ]")), 0);
}

void TstTrayCompanion::startAtLoginBothWays_data()
{
    QTest::addColumn<bool>("systemEntry");
    QTest::newRow("user entry only") << false;
    QTest::newRow("system-wide entry of the package") << true;
}

void TstTrayCompanion::startAtLoginBothWays()
{
    QFETCH(bool, systemEntry);

    ProgramRun run;
    QVERIFY2(run.prepare(), qPrintable(run.error()));
    const QString system = run.root() + QStringLiteral("/xdg/autostart/traybridge.desktop");
    if (systemEntry) {
        QVERIFY(writeFile(system, readFile(qEnvironmentVariable("TB_SOURCE_DIR") +
                                           QStringLiteral("/packaging/traybridge.desktop"))));
    }
    const QString user = run.root() + QStringLiteral("/home/.config/autostart/traybridge.desktop");
    TrayDesktop::Window icon;
    QVERIFY(startPrimary(run, icon));

    // The menu shows the state there is, and each choice turns it over.
    bool on = systemEntry;
    for (int step = 0; step < 3; ++step) {
        const int before = run.count(menuLine);
        QVERIFY(useMenu(run, icon, {QStringLiteral("Escape")}));
        QVERIFY(run.waitForCount(menuLine, before + 1));
        QVERIFY2(run.lines().filter(menuLine).constLast().contains(
                     menuLine + (on ? QStringLiteral("true") : QStringLiteral("false"))),
                 qPrintable(run.lines().filter(menuLine).constLast()));

        QVERIFY(chooseEntry(run, icon, 4));
        QVERIFY(run.waitForCount(QStringLiteral("CForm::set_start_at_login(bool) ] : "), step + 1));
        on = !on;
        // The line comes first; the entry is written right after it.
        QTRY_COMPARE_WITH_TIMEOUT(QFile::exists(user), systemEntry ? !on : on, 10000);
        const QString entry = QString::fromUtf8(readFile(user));
        if (systemEntry) {
            // Off: the user's entry hides the package's; on: the package's own again.
            if (!on)
                QVERIFY2(entry.contains(QStringLiteral("\nHidden=true\n")), qPrintable(entry));
        } else {
            if (on) {
                QVERIFY2(entry.startsWith(QStringLiteral("[Desktop Entry]\n")), qPrintable(entry));
                QVERIFY2(entry.contains(QStringLiteral("\nExec=\"") + run.appDir() +
                                        QStringLiteral("/traybridge\"\n")),
                         qPrintable(entry));
                QVERIFY(!entry.contains(QStringLiteral("Hidden=true")));
            }
        }
        QVERIFY(QFile::exists(system) == systemEntry);
    }
    QCOMPARE(run.count(notifyLine), 0);
}

void TstTrayCompanion::notificationsOfWebUiAndImages()
{
    ProgramRun run;
    TrayDesktop::Window icon;
    QVERIFY(prepareAndStartPrimary(run, icon));
    // Nothing is told while the web UI has never answered.
    QVERIFY(run.waitForCount(QStringLiteral("][ void CForm::update_tree() ] :"), 4));
    QCOMPARE(run.count(notifyLine), 0);

    QVERIFY2(m_webUi.start(), qPrintable(m_webUi.error()));
    QVERIFY(run.waitForLine(shownLine + QStringLiteral("\"Web UI running\" \"The web UI answers.\"")));
    QTRY_VERIFY_WITH_TIMEOUT(!popupOf(run, 40).id.isEmpty(), 10000);

    // An image: its file name, and a click on the balloon opens its folder.
    QTcpSocket plugin;
    plugin.connectToHost(QStringLiteral("127.0.0.1"), 20837);
    QVERIFY(plugin.waitForConnected(10000));
    plugin.write("prompt:" + QByteArray(R"({"width":8,"height":8,"steps":1})").toBase64());
    QVERIFY(run.waitForLine(shownLine + QStringLiteral("\"Image saved\"")));
    const QString saved = run.lines().filter(shownLine + QStringLiteral("\"Image saved\"")).constFirst();
    static const QRegularExpression name(
        QStringLiteral("\"(\\d+\\.png)\\\\nClick to open the images folder\\.\"$"));
    const QRegularExpressionMatch m = name.match(saved);
    QVERIFY2(m.hasMatch(), qPrintable(saved));
    QVERIFY(QFile::exists(run.imagesFolder() + QLatin1Char('/') + m.captured(1)));
    TrayDesktop::Window balloon;
    QTRY_VERIFY_WITH_TIMEOUT(!(balloon = popupOf(run, 40)).id.isEmpty(), 10000);
    QVERIFY(m_desktop.click(balloon, 1));
    QTRY_COMPARE_WITH_TIMEOUT(run.opened(), QStringList{fileUrl(run.imagesFolder())}, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(popupOf(run, 40).id.isEmpty(), 10000);

    // A failed generation: the text the plug-in received.
    QVERIFY(m_webUi.fault(QStringLiteral("txt2img"), QStringLiteral("error500")));
    // One request per connection.
    QTcpSocket second;
    second.connectToHost(QStringLiteral("127.0.0.1"), 20837);
    QVERIFY(second.waitForConnected(10000));
    second.write("prompt:" + QByteArray(R"({"width":8,"height":8,"steps":1})").toBase64());
    QVERIFY(run.waitForLine(shownLine + QStringLiteral("\"Generation failed\"")));
    const QString failed =
        run.lines().filter(shownLine + QStringLiteral("\"Generation failed\"")).constFirst();
    // The balloon's text is the one the plug-in received (every open connection gets it).
    static const QRegularExpression textOf(QStringLiteral("\"Generation failed\" \"(.+)\"$"));
    const QString errorText = textOf.match(failed).captured(1);
    QVERIFY2(!errorText.isEmpty(), qPrintable(failed));
    QByteArray received;
    QTRY_VERIFY_WITH_TIMEOUT((received += plugin.readAll()).contains(errorText.toUtf8()), 10000);
    // A click on another balloon opens nothing.
    QTRY_VERIFY_WITH_TIMEOUT(!(balloon = popupOf(run, 40)).id.isEmpty(), 10000);
    QVERIFY(m_desktop.click(balloon, 1));
    QVERIFY(run.waitForCount(QStringLiteral("[ void CForm::messageClicked() ] : "), 2));
    QCOMPARE(run.opened().size(), 1);

    // The web UI goes away.
    m_webUi.stop();
    QVERIFY(run.waitForLine(shownLine + QStringLiteral("\"Web UI gone\" \"The web UI no longer answers.\"")));
    QCOMPARE(run.count(shownLine + QStringLiteral("\"Web UI running\"")), 1);
}

void TstTrayCompanion::stopFailureNotifications_data()
{
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QString>("text");
    QTest::newRow("non-zero exit") << "exit 7"
                                   << "\"Stop failed\" \"The stop tool ended with exit code 7.\"";
    QTest::newRow("cannot start") << "not executable"
                                  << "\"Stop failed\" \"The stop tool could not be started (error 13): ";
    QTest::newRow("elevation refused")
        << "refused"
        << "\"Stop failed\" \"Permission to stop the web UI was refused (error ";
    QTest::newRow("success tells nothing") << "exit 0" << QString();
}

void TstTrayCompanion::stopFailureNotifications()
{
    QFETCH(QString, tool);
    QFETCH(QString, text);

    ProgramRun run;
    QVERIFY2(run.prepare(), qPrintable(run.error()));
    QStringList wrapper;
    if (tool == QLatin1String("refused")) {
        if (geteuid() != 0)
            QSKIP("needs root to run the program as another user");
        // Unprivileged, the tool goes through pkexec; this one is dismissed as a user would.
        const QString bin = run.root() + QStringLiteral("/bin");
        QVERIFY(writeFile(bin + QStringLiteral("/pkexec"), "#!/bin/sh\nexit 126\n"));
        QVERIFY(QFile::setPermissions(bin, everyone));
        QVERIFY(QFile::setPermissions(bin + QStringLiteral("/pkexec"), everyone));
        QVERIFY(shareWithNobody(run, run.root() + QStringLiteral("/run-nobody")));
        wrapper = QStringList{QStringLiteral("env"),
                              QStringLiteral("PATH=") + bin + QStringLiteral(":/usr/bin:/bin")} +
                  asNobody;
    } else if (tool == QLatin1String("exit 7")) {
        run.installCtlrunner(7);
    } else if (tool == QLatin1String("not executable")) {
        QVERIFY(QFile::setPermissions(run.ctlrunnerPath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    }
    TrayDesktop::Window icon;
    QVERIFY(startPrimary(run, icon, wrapper));

    // Stop is offered while a launch is followed.
    QVERIFY(chooseEntry(run, icon, 1));
    QVERIFY(run.waitForLine(QStringLiteral("[ void CForm::start_stablediffusion() ] : ")));
    QTRY_VERIFY_WITH_TIMEOUT(run.lines().filter(QStringLiteral("index= 1")).size() >= 1, 10000);
    QVERIFY(chooseEntry(run, icon, 1));
    QVERIFY(run.waitForLine(QStringLiteral("[ void CForm::request_stop_stablediffusion() ] : ")));
    if (text.isEmpty()) {
        QVERIFY(run.waitForLine(QStringLiteral("Процесс завершился с кодом возврата: 0")));
        QVERIFY(run.waitForCount(QStringLiteral("][ void CForm::update_tree() ] :"),
                                 run.count(QStringLiteral("][ void CForm::update_tree() ] :")) + 1));
        QCOMPARE(run.lines().filter(shownLine + QStringLiteral("\"Stop failed\"")).size(), 0);
        return;
    }
    QVERIFY2(run.waitForLine(shownLine + text), run.transcript().constData());
    QTRY_VERIFY_WITH_TIMEOUT(!popupOf(run, 40).id.isEmpty(), 10000);
    QVERIFY(run.isRunning());
}

void TstTrayCompanion::notificationsTurnedOffStayOff()
{
    ProgramRun run;
    TrayDesktop::Window icon;
    QVERIFY(prepareAndStartPrimary(run, icon));
    run.installCtlrunner(7);

    QVERIFY(chooseEntry(run, icon, 5));
    QVERIFY(run.waitForLine(QStringLiteral("CForm::set_show_notifications(bool) ] :  false")));
    const QString conf = run.root() + QStringLiteral("/home/.config/traybridge/traybridge.conf");
    QTRY_VERIFY_WITH_TIMEOUT(readFile(conf).contains("show_notifications=false"), 10000);

    // Quit runs the stop tool, which fails: nothing is shown.
    QVERIFY(useMenu(run, icon, {QStringLiteral("q")}));
    QVERIFY(run.waitForExit());
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(run.count(shownLine), 0);
    QCOMPARE(run.count(QStringLiteral("] : not shown, notifications are off: \"Stop failed\"")), 1);

    // The next start keeps the choice, and the menu shows it.
    const int from = run.lines().size();
    run.start(QStringLiteral("xcb"), m_desktop.display());
    QVERIFY(run.waitForLine(QStringLiteral("[ ContinueInit ]"), 20000, from));
    QTRY_VERIFY_WITH_TIMEOUT(!(icon = m_desktop.trayIconOf(run.pid())).id.isEmpty(), 20000);
    QVERIFY(useMenu(run, icon, {QStringLiteral("Escape")}));
    QVERIFY(run.waitForLine(menuLine + QStringLiteral("false show notifications: false"), 20000, from));
}

void TstTrayCompanion::logFileKeepsLinesWithTimeAndRotates()
{
    ProgramRun run;
    QVERIFY2(run.prepare(), qPrintable(run.error()));
    // A full log from earlier runs: rotated at the first line.
    const QByteArray old = QByteArray(3 * 1024 * 1024, 'o') + '\n';
    QVERIFY(writeFile(run.logFilePath(), old));
    QVERIFY(writeFile(run.logFilePath() + QStringLiteral(".3"), "oldest\n"));

    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    TrayDesktop::Window icon;
    QVERIFY(startPrimary(run, icon));
    QVERIFY(useMenu(run, icon, {QStringLiteral("q")}));
    QVERIFY(run.waitForExit());
    const QDateTime after = QDateTime::currentDateTime().addSecs(1);

    QCOMPARE(readFile(run.logFilePath() + QStringLiteral(".1")), old);
    QVERIFY(!QFile::exists(run.logFilePath() + QStringLiteral(".4")));
    const QStringList lines =
        QString::fromUtf8(readFile(run.logFilePath())).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    static const QRegularExpression shape(QStringLiteral(
        "^(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}) (debug|warning|critical|info) (.*)$"));
    QStringList texts;
    for (const QString& line : lines) {
        const QRegularExpressionMatch m = shape.match(line);
        QVERIFY2(m.hasMatch(), qPrintable(line));
        const QDateTime at = QDateTime::fromString(m.captured(1), QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
        QVERIFY2(at >= before && at <= after, qPrintable(line));
        texts << m.captured(3);
    }
    // The same lines as on the standard error output, in the same order.
    QStringList shown = run.lines();
    QVERIFY(texts.size() >= 10);
    for (const QString& text :
         {QStringLiteral("Файл успешно создан с текстом '1'"), QStringLiteral("[ ContinueInit ]"),
          QStringLiteral("[ void CForm::request_stop_stablediffusion() ] : "),
          QStringLiteral("Процесс завершился с кодом возврата: 0")}) {
        QCOMPARE(texts.count(text), 1);
        QCOMPARE(shown.count(text), 1);
    }
    QCOMPARE(texts.indexOf(QStringLiteral("[ ContinueInit ]")) <
                 texts.indexOf(QStringLiteral("Процесс завершился с кодом возврата: 0")),
             true);
}

void TstTrayCompanion::twoUsersRunTheirOwnCopies()
{
    if (geteuid() != 0)
        QSKIP("needs root to run a copy as another user");
    const QStringList network = otherNetwork();
    if (network.isEmpty())
        QSKIP("no network namespace for the second copy here");

    // Both copies share one temporary folder, where a plain socket name would meet.
    ProgramRun first;
    QVERIFY2(first.prepare(), qPrintable(first.error()));
    const QString sharedTmp = first.root() + QStringLiteral("/shared-tmp");
    QVERIFY(QDir().mkpath(sharedTmp));
    QVERIFY(QFile::setPermissions(sharedTmp, everyone));
    first.setTmpDir(first.root() + QStringLiteral("/run-root"));
    QVERIFY(QDir().mkpath(first.tmpDir()));
    QVERIFY(QFile::setPermissions(first.tmpDir(), ownerOnly));
    TrayDesktop::Window firstIcon;
    QVERIFY(startPrimary(first, firstIcon, {QStringLiteral("env"), QStringLiteral("TMPDIR=") + sharedTmp}));
    QVERIFY(QFileInfo(first.tmpDir() + QStringLiteral("/ipc_stablediffusion")).exists());

    ProgramRun second;
    QVERIFY2(second.prepare(), qPrintable(second.error()));
    QVERIFY(shareWithNobody(second, second.root() + QStringLiteral("/run-nobody")));
    TrayDesktop::Window secondIcon;
    QVERIFY(startPrimary(second, secondIcon,
                         network + QStringList{QStringLiteral("env"), QStringLiteral("TMPDIR=") + sharedTmp} +
                             asNobody));

    // Each is the running copy of its own session; neither knocked at the other.
    QVERIFY(QFileInfo(second.tmpDir() + QStringLiteral("/ipc_stablediffusion")).exists());
    QCOMPARE(QFileInfo(second.tmpDir() + QStringLiteral("/ipc_stablediffusion")).ownerId(), 65534u);
    QVERIFY(first.isRunning());
    QVERIFY(second.isRunning());
    QCOMPARE(first.count(QStringLiteral("Recov Msg. Open old App.")), 0);
    QCOMPARE(second.count(QStringLiteral("Recov Msg. Open old App.")), 0);
    QCOMPARE(second.boxes(), QStringList());
    // Each user's log and start log are that user's own.
    QVERIFY(QFileInfo(second.logFilePath()).isFile());
    QCOMPARE(QFileInfo(second.logFilePath()).ownerId(), 65534u);
    QVERIFY(QFileInfo(first.logFilePath()).isFile());
    QCOMPARE(QFileInfo(first.logFilePath()).ownerId(), 0u);
}

QTEST_GUILESS_MAIN(TstTrayCompanion)
#include "tst_traycompanion.moc"
