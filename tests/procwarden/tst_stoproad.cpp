// The stop road end to end: the stand-in web UI runs under the interpreter
// that "path_python" names; "stop stablediffusion" in the real tray runs the
// real ctlrunner, which has the real procwarden end the web UI; the tray then
// shows "stablediffusion is not running".
#include "ProgramRun.h"
#include "TrayDesktop.h"
#include "WardenRun.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>

namespace {
// The index of the tray's icon table whose tool tip is "stablediffusion is not running".
constexpr int NotRunningIcon = 2;
constexpr int WorkingIcon = 3;

bool webUiAnswers()
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), 7860);
    return socket.waitForConnected(1000);
}
} // namespace

class TestStopRoad : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QString reason;
        if (!WardenRun::namespacesAvailable(&reason))
            QSKIP(qPrintable(reason));
        for (const char* tool : {"Xvfb", "trayer", "xdotool", "xwininfo"})
            QVERIFY2(!QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty(), tool);
        QVERIFY2(m_desktop.start(qEnvironmentVariable("TB_BIN_DIR") + QStringLiteral("/stoproad_tray_probe")),
                 qPrintable(m_desktop.error()));
    }

    void stopFromTheTrayEndsTheWebUi()
    {
        QVERIFY(!webUiAnswers());
        QTemporaryDir tools;
        // A private interpreter: the walk ends every process running this image.
        const QString python =
            privateCopy(QFileInfo(QStringLiteral("/usr/bin/python3")).canonicalFilePath(),
                        tools.filePath(QStringLiteral("webui/venv/bin")), QStringLiteral("python3"));
        QVERIFY(!python.isEmpty());

        WardenRun warden;
        QVERIFY(warden.setPathPython(QFile::encodeName(python)));
        QVERIFY(warden.start());
        QProcess* webUi = warden.startInside(
            python, {qEnvironmentVariable("TB_SOURCE_DIR") + QStringLiteral("/tools/fakewebui/fakewebui.py"),
                     QStringLiteral("--quiet")});
        QVERIFY(webUi);
        QTRY_VERIFY_WITH_TIMEOUT(webUiAnswers(), 30000);

        ProgramRun tray;
        QVERIFY2(tray.prepare(), qPrintable(tray.error()));
        tray.setValue(QStringLiteral("path_python"), QFile::encodeName(python));
        // The real tool beside the program; it finds the service's channel through the environment.
        QFile::remove(tray.ctlrunnerPath());
        QVERIFY(QFile::copy(qEnvironmentVariable("TB_BIN_DIR") + QStringLiteral("/ctlrunner"),
                            tray.ctlrunnerPath()));
        QFile::setPermissions(tray.ctlrunnerPath(), QFileDevice::ReadOwner | QFileDevice::ExeOwner |
                                                        QFileDevice::ReadGroup | QFileDevice::ExeGroup |
                                                        QFileDevice::ReadOther | QFileDevice::ExeOther);
        qputenv("PROCWARDEN_CONTROL_SOCKET", QFile::encodeName(warden.socketPath()));
        tray.start(QStringLiteral("xcb"), m_desktop.display());
        qunsetenv("PROCWARDEN_CONTROL_SOCKET");
        QVERIFY2(tray.isRunning(), tray.transcript().constData());

        // The liveness probe finds the web UI: the tray shows it working and offers the stop.
        QTRY_VERIFY2_WITH_TIMEOUT(tray.iconIndexes().contains(WorkingIcon), tray.transcript().constData(),
                                  30000);
        TrayDesktop::Window icon;
        QTRY_VERIFY_WITH_TIMEOUT(!(icon = m_desktop.trayIconOf(tray.pid())).id.isEmpty(), 30000);

        const int logBefore = warden.logMessages().size();
        const int linesBefore = tray.lines().size();
        QVERIFY(m_desktop.click(icon, 3));
        auto menuOpen = [&] {
            for (const TrayDesktop::Window& w : m_desktop.visibleWindows(tray.pid()))
                if (w.height > 24)
                    return true;
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(menuOpen(), 20000);
        // The first entry, "stop stablediffusion".
        QVERIFY(m_desktop.keys({QStringLiteral("Down"), QStringLiteral("Return")}));

        const QString ended = QStringLiteral("Процесс завершился с кодом возврата: 0");
        QVERIFY2(tray.waitForLine(ended, 60000, linesBefore), tray.transcript().constData());
        QTRY_VERIFY_WITH_TIMEOUT(webUi->state() == QProcess::NotRunning, 20000);
        QVERIFY(webUi->exitStatus() == QProcess::CrashExit || webUi->exitCode() == 128 + SIGKILL);

        // procwarden got control 145 and ended exactly the web UI.
        const QStringList log = warden.logMessagesFrom(logBefore);
        QCOMPARE(log.mid(0, 4),
                 (QStringList{QStringLiteral("[ServiceCtrlHandler] : before switch "), QString(),
                              QStringLiteral("[ServiceCtrlHandler] : "
                                             "MSG_GUI_REQUEST_TO_STOP_STABLE_DIFFUSION "),
                              QString()}));
        QCOMPARE(log.count(QStringLiteral("My Sample Service: 'ok send' Terminated python.exe process")), 1);
        QCOMPARE(log.last(), QStringLiteral("My Sample Service: ServiceCtrlHandler: Exit"));

        // At once "not running"; the next probes find the web UI gone and keep it so.
        const int endedAt = tray.indexOf(ended, linesBefore);
        QVERIFY(!tray.iconIndexes(endedAt).isEmpty());
        QCOMPARE(tray.iconIndexes(endedAt).first(), NotRunningIcon);
        QVERIFY2(tray.waitForLine(QStringLiteral("STABLE_DIFFUSION_NOT_WORK"), 30000, endedAt),
                 tray.transcript().constData());
        const int notWorkAt = tray.indexOf(QStringLiteral("STABLE_DIFFUSION_NOT_WORK"), endedAt);
        QVERIFY(tray.waitForCount(QStringLiteral("STABLE_DIFFUSION_NOT_WORK"),
                                  tray.count(QStringLiteral("STABLE_DIFFUSION_NOT_WORK")) + 1, 20000));
        for (int index : tray.iconIndexes(notWorkAt))
            QCOMPARE(index, NotRunningIcon);
        QVERIFY(!webUiAnswers());
        QVERIFY(tray.isRunning());
        QCOMPARE(warden.process().state(), QProcess::Running);
    }

private:
    TrayDesktop m_desktop;
};

QTEST_GUILESS_MAIN(TestStopRoad)
#include "tst_stoproad.moc"
