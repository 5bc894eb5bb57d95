// The real program in a real tray: Xvfb with trayer as the tray host, the icon
// clicked and its menu used through xdotool, the stand-in web UI and stand-in
// ctlrunner tools as the outside peers, real processes named "Cinema 4D.exe".
#include "FakeWebUi.h"
#include "ProgramRun.h"
#include "StaleSocket.h"
#include "TrayDesktop.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QImage>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>

namespace {

const QString startLine = QStringLiteral("[ void CForm::start_stablediffusion() ] : ");
const QString stopLine = QStringLiteral("[ void CForm::request_stop_stablediffusion() ] : ");
const QString refreshLine = QStringLiteral("][ void CForm::update_tree() ] :");
const QString recovLine = QStringLiteral("Recov Msg. Open old App. '");

// How the test reaches another network namespace (own loopback, same files).
QStringList otherNetwork()
{
    for (const QStringList& wrapper : {QStringList{QStringLiteral("unshare"), QStringLiteral("-n")},
                                       QStringList{QStringLiteral("unshare"), QStringLiteral("-rn")}}) {
        QProcess probe;
        probe.start(wrapper.first(), wrapper.mid(1) + QStringList{QStringLiteral("true")});
        if (probe.waitForFinished(10000) && probe.exitStatus() == QProcess::NormalExit &&
            probe.exitCode() == 0)
            return wrapper;
    }
    return {};
}

} // namespace

class TstTray : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void iconFollowsLaunchAndWebUi();
    void startIsDisabledRightAfterItIsChosen();
    void clicksOnIconAndBalloon();
    void stopRequest_data();
    void stopRequest();
    void quitAlwaysRunsStopRequest_data();
    void quitAlwaysRunsStopRequest();
    void startWithoutBatchSettingEnds();
    void watcherEndsProgramWhenCinemaGoes();
    void secondCopyWhilePortHeldEndsWithOne();
    void secondCopyHandsOverWhenPortFree();
    void staleEntryRemovedAndBlockIs76Bytes();

private:
    // Starts the program as the running copy and waits for its tray icon.
    bool startPrimary(ProgramRun& run, TrayDesktop::Window& icon);
    bool prepareAndStartPrimary(ProgramRun& run, TrayDesktop::Window& icon);
    // Opens the context menu with the right button and presses keys in it.
    bool useMenu(ProgramRun& run, const TrayDesktop::Window& icon, const QStringList& keys);
    // A visible window of the program other than its tray icon.
    TrayDesktop::Window popupOf(const ProgramRun& run, int minHeight) const;
    void keepScreenshot(const QString& name, int height = 120);

    TrayDesktop m_desktop;
    FakeWebUi m_webUi;
    QList<QProcess*> m_cinema;
};

void TstTray::initTestCase()
{
    QVERIFY2(m_desktop.start(qEnvironmentVariable("TB_BIN_DIR") + QStringLiteral("/tray_probe")),
             qPrintable(m_desktop.error()));
}

void TstTray::cleanup()
{
    m_webUi.stop();
    for (QProcess* p : qAsConst(m_cinema)) {
        p->kill();
        p->waitForFinished(10000);
    }
    qDeleteAll(m_cinema);
    m_cinema.clear();
}

bool TstTray::startPrimary(ProgramRun& run, TrayDesktop::Window& icon)
{
    run.start(QStringLiteral("xcb"), m_desktop.display());
    if (!run.waitForLine(QStringLiteral("[ ContinueInit ]"))) {
        qWarning().noquote() << run.transcript();
        return false;
    }
    icon = m_desktop.waitForTrayIcon(run.pid(), 20000);
    return !icon.id.isEmpty();
}

bool TstTray::prepareAndStartPrimary(ProgramRun& run, TrayDesktop::Window& icon)
{
    if (!run.prepare()) {
        qWarning().noquote() << run.error();
        return false;
    }
    return startPrimary(run, icon);
}

TrayDesktop::Window TstTray::popupOf(const ProgramRun& run, int minHeight) const
{
    return m_desktop.popupOf(run.pid(), minHeight);
}

bool TstTray::useMenu(ProgramRun& run, const TrayDesktop::Window& icon, const QStringList& keys)
{
    return m_desktop.useMenu(run.pid(), icon, keys);
}

void TstTray::keepScreenshot(const QString& name, int height)
{
    const QString shot = QDir::tempPath() + QStringLiteral("/tst_tray-") + name;
    QVERIFY(m_desktop.screenshot(shot));
    QImage image(shot);
    QVERIFY(!image.isNull());
    QVERIFY(image.width() >= 320);
    // The top right corner holds the tray, its menu and its balloon.
    const QString cropped = shot + QStringLiteral(".png");
    QVERIFY(image.copy(image.width() - 320, 0, 320, height).save(cropped));
    QFile::remove(shot);
    QVERIFY(QFile::rename(cropped, shot));
    // The docs keep one copy; it is rewritten only when asked for.
    const QString kept = qEnvironmentVariable("TB_SOURCE_DIR") + QStringLiteral("/docs/screenshots/") + name;
    if (!QFile::exists(kept) || qEnvironmentVariableIsSet("TB_UPDATE_SCREENSHOTS")) {
        QDir().mkpath(QFileInfo(kept).path());
        QFile::remove(kept);
        QVERIFY(QFile::copy(shot, kept));
    }
    QFile::remove(shot);
}

void TstTray::iconFollowsLaunchAndWebUi()
{
    ProgramRun run;
    TrayDesktop::Window icon;
    QVERIFY(prepareAndStartPrimary(run, icon));

    // Not running: entry 2 from the start, and refreshes that keep it write no "index=".
    QVERIFY(run.waitForCount(refreshLine, 3));
    QCOMPARE(run.iconIndexes(), QList<int>{2});

    QVERIFY(useMenu(run, icon, {QStringLiteral("Down"), QStringLiteral("Return")}));
    QVERIFY(run.waitForLine(startLine));
    const int started = run.indexOf(startLine);
    QVERIFY(run.waitForLine(QStringLiteral("index="), 5000, started));
    QCOMPARE(run.iconIndexes(started).constFirst(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(run.launchRecord()), 10000);

    // While the web UI does not answer, each refresh flips between 0 and 1.
    QTRY_VERIFY_WITH_TIMEOUT(run.iconIndexes(started).size() >= 5, 15000);
    const QList<int> launching = run.iconIndexes(started);
    for (int i = 0; i < launching.size(); ++i)
        QCOMPARE(launching.at(i), i % 2);
    QVERIFY(useMenu(run, icon, {QStringLiteral("Escape")}));

    // The stand-in web UI answers the next liveness probe: entry 3.
    QVERIFY2(m_webUi.start(), qPrintable(m_webUi.error()));
    QTRY_VERIFY_WITH_TIMEOUT(run.iconIndexes(started).constLast() == 3, 20000);
    const int running = run.lines().size();
    QVERIFY(run.waitForCount(refreshLine, run.count(refreshLine) + 2));
    QCOMPARE(run.iconIndexes(running), QList<int>());
    QCOMPARE(run.iconIndexes().constLast(), 3);

    QVERIFY(useMenu(run, icon, {QStringLiteral("q")}));
    QVERIFY(run.waitForExit());
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(run.ctlrunnerCalls(), QStringList{QStringLiteral("SIGNAL_STOP")});
    QCOMPARE(run.count(startLine), 1);
}

void TstTray::startIsDisabledRightAfterItIsChosen()
{
    ProgramRun run;
    TrayDesktop::Window icon;
    QVERIFY(prepareAndStartPrimary(run, icon));

    QVERIFY(useMenu(run, icon, {QStringLiteral("Down"), QStringLiteral("Return")}));
    QVERIFY(run.waitForLine(startLine));
    // Downwards from the top: the first enabled entry. With start disabled that
    // is stop (once a refresh enabled it) or, below start, "Open images folder";
    // never start.
    const QString imagesLine = QStringLiteral("[ void CForm::open_images_folder() ] : ");
    QVERIFY(useMenu(run, icon, {QStringLiteral("Down"), QStringLiteral("Return")}));
    QTRY_VERIFY_WITH_TIMEOUT(!run.isRunning() || run.count(stopLine) > 0 || run.count(imagesLine) > 0 ||
                                 run.count(startLine) > 1,
                             10000);
    QCOMPARE(run.count(startLine), 1);
    if (run.count(stopLine) > 0)
        QVERIFY(run.waitForLine(QStringLiteral("Процесс завершился с кодом возврата: 0")));
    QVERIFY(useMenu(run, icon, {QStringLiteral("q")}));
    QVERIFY(run.waitForExit());
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(run.count(startLine), 1);
}

void TstTray::clicksOnIconAndBalloon()
{
    ProgramRun run;
    TrayDesktop::Window icon;
    QVERIFY(prepareAndStartPrimary(run, icon));
    const QString showLine = QStringLiteral("[ void CForm::showMessage() ] : ");

    QVERIFY(m_desktop.click(icon, 2));
    QVERIFY(run.waitForLine(QStringLiteral("] : QSystemTrayIcon::MiddleClick")));
    QVERIFY(m_desktop.doubleClick(icon));
    QVERIFY(run.waitForLine(QStringLiteral("] : QSystemTrayIcon::DoubleClick")));
    QCOMPARE(run.count(QStringLiteral("QSystemTrayIcon::MiddleClick")), 1);
    // The double click's first press is a single click and shows the balloon once.
    QCOMPARE(run.count(showLine), 1);
    QTRY_VERIFY_WITH_TIMEOUT(!popupOf(run, 40).id.isEmpty(), 10000);
    QVERIFY(m_desktop.click(popupOf(run, 40), 1));
    QVERIFY(run.waitForLine(QStringLiteral("[ void CForm::messageClicked() ] : ")));
    QTRY_VERIFY_WITH_TIMEOUT(popupOf(run, 40).id.isEmpty(), 10000);

    const int before = run.lines().size();
    QVERIFY(m_desktop.click(icon, 1));
    QVERIFY(
        run.waitForLine(QStringLiteral("[ void CForm::iconActivated(QSystemTrayIcon::ActivationReason) ] : "
                                       "QSystemTrayIcon::Trigger"),
                        10000, before));
    const int trigger = run.indexOf(QStringLiteral("QSystemTrayIcon::Trigger"), before);
    QCOMPARE(run.indexOf(showLine, before), trigger + 1);
    // showMessage refreshes the tray before it shows the balloon.
    QVERIFY(run.lines().value(trigger + 2).contains(refreshLine));
    TrayDesktop::Window balloon;
    QTRY_VERIFY_WITH_TIMEOUT(!(balloon = popupOf(run, 40)).id.isEmpty(), 10000);
    // Beside the icon, at the top of the screen.
    QVERIFY(balloon.y <= icon.y + icon.height + 20);
    QVERIFY(balloon.x <= icon.x && balloon.x + balloon.width >= icon.x);
    keepScreenshot(QStringLiteral("tray-balloon.png"));
    QVERIFY(m_desktop.click(balloon, 1));
    QVERIFY(run.waitForCount(QStringLiteral("[ void CForm::messageClicked() ] : "), 2));
    QTRY_VERIFY_WITH_TIMEOUT(popupOf(run, 40).id.isEmpty(), 10000);

    QVERIFY(useMenu(run, icon, {}));
    keepScreenshot(QStringLiteral("tray-menu.png"), 200);
    QVERIFY(m_desktop.keys({QStringLiteral("Escape")}));
    QVERIFY(run.isRunning());
}

void TstTray::stopRequest_data()
{
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<bool>("switchesToNotRunning");

    QTest::newRow("success") << "exit 0"
                             << "Процесс завершился с кодом возврата: 0" << true;
    QTest::newRow("failure code") << "exit 7"
                                  << "Процесс завершился с кодом возврата: 7" << false;
    QTest::newRow("missing tool") << "missing"
                                  << "Ошибка запуска процесса: 2" << false;
    QTest::newRow("not executable") << "not executable"
                                    << "Ошибка запуска процесса: 13" << false;
}

void TstTray::stopRequest()
{
    QFETCH(QString, tool);
    QFETCH(QString, outcome);
    QFETCH(bool, switchesToNotRunning);

    ProgramRun run;
    TrayDesktop::Window icon;
    QVERIFY(prepareAndStartPrimary(run, icon));

    // Stop is offered while a launch is followed.
    QVERIFY(useMenu(run, icon, {QStringLiteral("Down"), QStringLiteral("Return")}));
    QVERIFY(run.waitForLine(startLine));
    QTRY_VERIFY_WITH_TIMEOUT(run.iconIndexes(run.indexOf(startLine)).size() >= 2, 10000);

    if (tool == QLatin1String("exit 7"))
        run.installCtlrunner(7);
    else if (tool == QLatin1String("missing"))
        QVERIFY(QFile::remove(run.ctlrunnerPath()));
    else if (tool == QLatin1String("not executable"))
        QVERIFY(QFile::setPermissions(run.ctlrunnerPath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner));

    const bool started = !outcome.startsWith(QStringLiteral("Ошибка"));
    QVERIFY(useMenu(run, icon, {QStringLiteral("Down"), QStringLiteral("Return")}));
    QVERIFY(run.waitForLine(outcome));
    const int stop = run.indexOf(stopLine);
    QVERIFY(stop >= 0);
    QVERIFY(run.indexOf(QStringLiteral("set_process_start_stable(bool) ] : bVal= false"), stop) > stop);
    QCOMPARE(run.count(QStringLiteral("Процесс успешно запущен.")), started ? 1 : 0);
    QCOMPARE(run.ctlrunnerCalls(), started ? QStringList{QStringLiteral("SIGNAL_STOP")} : QStringList());

    // Entry 2 at once, before any refresh, only for exit code 0.
    const int result = run.indexOf(outcome);
    QVERIFY(run.waitForLine(refreshLine, 5000, result));
    const int nextRefresh = run.indexOf(refreshLine, result);
    const int nextIndex = run.indexOf(QStringLiteral("CForm::setIcon(int) ] : index="), result);
    if (switchesToNotRunning) {
        QVERIFY(nextIndex > result && nextIndex < nextRefresh);
        QCOMPARE(run.iconIndexes(result).constFirst(), 2);
    } else {
        QVERIFY2(nextIndex < 0 || nextIndex > nextRefresh, run.transcript().constData());
    }
    // The launch is no longer followed: the web UI shows as not running.
    QTRY_COMPARE_WITH_TIMEOUT(run.iconIndexes().constLast(), 2, 10000);
    QVERIFY(run.isRunning());
}

void TstTray::quitAlwaysRunsStopRequest_data()
{
    QTest::addColumn<int>("toolCode"); // -1: no tool
    QTest::newRow("tool succeeds") << 0;
    QTest::newRow("tool fails") << 9;
    QTest::newRow("tool missing") << -1;
}

void TstTray::quitAlwaysRunsStopRequest()
{
    QFETCH(int, toolCode);

    ProgramRun run;
    TrayDesktop::Window icon;
    QVERIFY(prepareAndStartPrimary(run, icon));
    if (toolCode < 0)
        QVERIFY(QFile::remove(run.ctlrunnerPath()));
    else
        run.installCtlrunner(toolCode);

    QVERIFY(useMenu(run, icon, {QStringLiteral("q")}));
    QVERIFY(run.waitForExit());
    QCOMPARE(run.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(run.count(stopLine), 1);
    if (toolCode < 0) {
        QCOMPARE(run.count(QStringLiteral("Ошибка запуска процесса: 2")), 1);
        QCOMPARE(run.ctlrunnerCalls(), QStringList());
    } else {
        QCOMPARE(run.count(QStringLiteral("Процесс завершился с кодом возврата: %1").arg(toolCode)), 1);
        QCOMPARE(run.ctlrunnerCalls(), QStringList{QStringLiteral("SIGNAL_STOP")});
    }
    // Quit leaves the icon to the end of the process.
    QCOMPARE(run.count(QStringLiteral("hide_icon")), 0);
}

void TstTray::startWithoutBatchSettingEnds()
{
    ProgramRun run;
    TrayDesktop::Window icon;
    QVERIFY(prepareAndStartPrimary(run, icon));
    run.removeValue(QStringLiteral("path_stable_difusson_bat"));

    QVERIFY(useMenu(run, icon, {QStringLiteral("Down"), QStringLiteral("Return")}));
    QVERIFY(run.waitForExit());
    QCOMPARE(run.exitCode(), 1);
    QCOMPARE(run.iconIndexes(run.indexOf(startLine)), QList<int>{0});
    QVERIFY(!QFile::exists(run.launchRecord()));
    QCOMPARE(run.boxes().filter(QStringLiteral("path_stable_difusson_bat")).size(), 1);
}

void TstTray::watcherEndsProgramWhenCinemaGoes()
{
    ProgramRun run;
    TrayDesktop::Window icon;
    QVERIFY(prepareAndStartPrimary(run, icon));

    // Never ran: checks go on and nothing happens.
    QVERIFY(run.waitForLine(QStringLiteral("Процесс Cinema 4D.exe не запущен."), 15000));
    QVERIFY(run.isRunning());

    for (const QString& name : {QStringLiteral("Cinema 4D.exe"), QStringLiteral("cinema 4d.EXE")}) {
        const QString dir = run.root() + QStringLiteral("/c4d-") + QString::number(m_cinema.size());
        QVERIFY(QDir().mkpath(dir));
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), dir + QLatin1Char('/') + name));
        auto* cinema = new QProcess;
        m_cinema << cinema;
        cinema->start(dir + QLatin1Char('/') + name, {QStringLiteral("120")});
        QVERIFY(cinema->waitForStarted(10000));
    }
    QVERIFY(run.waitForLine(QStringLiteral("Процесс Cinema 4D.exe обнаружен!"), 15000));

    // One of two copies ends: the watch goes on.
    m_cinema.first()->kill();
    QVERIFY(m_cinema.first()->waitForFinished(10000));
    const int found = run.count(QStringLiteral("обнаружен!"));
    const bool stillSeen = run.waitForCount(QStringLiteral("обнаружен!"), found + 1, 15000);
    if (!stillSeen)
        qWarning().noquote() << "second copy running:" << (m_cinema.last()->state() == QProcess::Running)
                             << "\n"
                             << run.lines()
                                    .filter(QRegularExpression(QStringLiteral("Cinema|КТО|CForm|exit")))
                                    .join(QLatin1Char('\n'));
    QVERIFY(stillSeen);
    QVERIFY(run.isRunning());

    m_cinema.last()->kill();
    QVERIFY(m_cinema.last()->waitForFinished(10000));
    QVERIFY(run.waitForExit(20000));
    QCOMPARE(run.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.exitCode(), 0);

    const QStringList steps{
        QStringLiteral("Процесс Cinema 4D.exe не запущен."),
        QStringLiteral("][ void QThreadProcessChecker::execute() ] : КТО-то грохнул синьку.."),
        QStringLiteral("][ void CForm::cinema_4D_doesnt_work() ] :"),
        stopLine,
        QStringLiteral("Процесс завершился с кодом возврата: 0"),
        QStringLiteral("[ void CForm::hide_icon() ]: ")};
    int at = run.indexOf(QStringLiteral("обнаружен!"));
    for (const QString& step : steps) {
        const int next = run.indexOf(step, at + 1);
        QVERIFY2(next > at, qPrintable(QStringLiteral("missing or out of order: ") + step));
        at = next;
    }
    QCOMPARE(run.ctlrunnerCalls(), QStringList{QStringLiteral("SIGNAL_STOP")});
}

void TstTray::secondCopyWhilePortHeldEndsWithOne()
{
    ProgramRun first;
    TrayDesktop::Window icon;
    QVERIFY(prepareAndStartPrimary(first, icon));

    ProgramRun second;
    QVERIFY2(second.prepare(), qPrintable(second.error()));
    second.setTmpDir(first.tmpDir());
    second.start(QStringLiteral("xcb"), m_desktop.display());
    QVERIFY(second.waitForExit());
    QCOMPARE(second.exitCode(), 1);
    QCOMPARE(second.boxes().size(), 1);
    QVERIFY2(second.boxes().constFirst().startsWith(
                 QStringLiteral("critical\tError\tUnable to start the server: ")),
             qPrintable(second.boxes().constFirst()));
    QCOMPARE(second.count(QStringLiteral("connectToServer(IPC_NAME)")), 0);

    // The running copy was never asked: no balloon.
    QVERIFY(first.waitForCount(refreshLine, first.count(refreshLine) + 1));
    QCOMPARE(first.count(recovLine), 0);
    QCOMPARE(first.count(QStringLiteral("CForm::showMessage()")), 0);
    QVERIFY(popupOf(first, 40).id.isEmpty());
    QVERIFY(first.isRunning());
}

void TstTray::secondCopyHandsOverWhenPortFree()
{
    const QStringList network = otherNetwork();
    if (network.isEmpty())
        QSKIP("no network namespace for the second copy here");

    ProgramRun first;
    TrayDesktop::Window icon;
    QVERIFY(prepareAndStartPrimary(first, icon));

    // In a network namespace of its own the second copy gets the port; the
    // local socket folder is shared, so its knock reaches the first copy.
    for (int knock = 1; knock <= 2; ++knock) {
        ProgramRun second;
        QVERIFY2(second.prepare(), qPrintable(second.error()));
        second.setTmpDir(first.tmpDir());
        // Its answer arrives in the event loop, which runs only with a tray.
        second.start(QStringLiteral("xcb"), m_desktop.display(), {QStringLiteral("--from-the-plugin")},
                     network);
        QVERIFY(second.waitForExit());
        if (second.exitStatus() != QProcess::NormalExit || second.exitCode() != 3)
            qWarning().noquote() << second.transcript();
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 3);

        static const QRegularExpression handedOver(QStringLiteral(
            "^\\[main\\] : the message from opening the form was sent successfully\\. end the current "
            "process '\\d{1,6}'$"));
        QCOMPARE(second.lines().filter(handedOver).size(), 1);
        const int argumentLine = second.indexOf(QStringLiteral("[ operator() ] : "));
        QVERIFY(argumentLine > second.lines().indexOf(handedOver));
        QVERIFY(second.lines().at(argumentLine).endsWith(QStringLiteral(" --from-the-plugin")));
        QVERIFY(second.indexOf(QStringLiteral("[ void CForm::hide_icon() ]: ")) > argumentLine);
        QCOMPARE(second.count(QStringLiteral("[ContinueInit]")), 0);
        QCOMPARE(second.boxes(), QStringList());

        QVERIFY(first.waitForCount(recovLine, knock));
        static const QRegularExpression recov(QStringLiteral("^Recov Msg\\. Open old App\\. '\\d{1,6}'$"));
        QCOMPARE(first.lines().filter(recov).size(), knock);
        QVERIFY(first.waitForCount(QStringLiteral("[ void CForm::showMessage() ] : "), knock));
        QTRY_VERIFY_WITH_TIMEOUT(!popupOf(first, 40).id.isEmpty(), 10000);
    }
    QVERIFY(first.isRunning());
}

void TstTray::staleEntryRemovedAndBlockIs76Bytes()
{
    ProgramRun run;
    QVERIFY2(run.prepare(), qPrintable(run.error()));
    const QString entry = run.tmpDir() + QStringLiteral("/ipc_stablediffusion");
    QVERIFY(leaveStaleSocket(entry));
    TrayDesktop::Window icon;
    QVERIFY(startPrimary(run, icon));
    QVERIFY(run.indexOf(QStringLiteral("[Client::displayError] : The connection was refused by the peer.")) <
            run.indexOf(QStringLiteral("[ ContinueInit ]")));
    QCOMPARE(run.boxes(), QStringList());

    QLocalSocket knock;
    knock.connectToServer(entry);
    QVERIFY(knock.waitForConnected(10000));
    QByteArray received;
    QTRY_VERIFY_WITH_TIMEOUT((received += knock.readAll(), knock.state() == QLocalSocket::UnconnectedState),
                             10000);
    received += knock.readAll();
    QByteArray expected = QByteArray::fromHex("0000004800000044");
    for (const char c : QByteArray("THE APPLICATION IS ALREADY RUNNING"))
        expected += QByteArray(1, '\0') + c;
    QCOMPARE(received.size(), 76);
    QCOMPARE(received.toHex(), expected.toHex());
    QVERIFY(run.waitForCount(recovLine, 1));
}

QTEST_GUILESS_MAIN(TstTray)
#include "tst_tray.moc"
