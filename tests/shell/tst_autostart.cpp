// Start at login, both ways, against the real store of the platform: XDG
// autostart folders elsewhere, the registry's Run keys on Windows (under Wine).
#include "Autostart.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

#ifdef Q_OS_WIN
const QString userRun = QStringLiteral("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run");
const QString machineRun = QStringLiteral("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run");

// The registry as Windows' own reg.exe sees it.
QString regQuery(const QString& key)
{
    QProcess reg;
    reg.start(QStringLiteral("reg"),
              {QStringLiteral("query"), key, QStringLiteral("/v"), QStringLiteral("traybridge")});
    if (!reg.waitForFinished(60000) || reg.exitCode() != 0)
        return QString();
    return QString::fromLocal8Bit(reg.readAllStandardOutput());
}

bool regRun(const QStringList& arguments)
{
    QProcess reg;
    reg.start(QStringLiteral("reg"), arguments);
    return reg.waitForFinished(60000) && reg.exitCode() == 0;
}
#endif

} // namespace

class TstAutostart : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void userEntryBothWays();
    void systemEntryRespected();

private:
    QTemporaryDir m_dir;
};

void TstAutostart::initTestCase()
{
    QVERIFY(m_dir.isValid());
#ifndef Q_OS_WIN
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.path() + QStringLiteral("/config")));
    qputenv("XDG_CONFIG_DIRS", QFile::encodeName(m_dir.path() + QStringLiteral("/xdg")));
#endif
}

void TstAutostart::userEntryBothWays()
{
    QVERIFY(!Autostart::isEnabled());
    QString error;
    QVERIFY2(Autostart::setEnabled(true, &error), qPrintable(error));
    QVERIFY(Autostart::isEnabled());
#ifdef Q_OS_WIN
    const QString value = regQuery(userRun);
    QVERIFY2(value.contains(QLatin1Char('"') +
                            QDir::toNativeSeparators(QCoreApplication::applicationFilePath()) +
                            QLatin1Char('"')),
             qPrintable(value));
#else
    const QString entry = m_dir.path() + QStringLiteral("/config/autostart/traybridge.desktop");
    QFile file(entry);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().contains("\nExec=\"" + QCoreApplication::applicationFilePath().toUtf8() + "\"\n"));
#endif
    QVERIFY2(Autostart::setEnabled(false, &error), qPrintable(error));
    QVERIFY(!Autostart::isEnabled());
#ifdef Q_OS_WIN
    QCOMPARE(regQuery(userRun), QString());
#else
    QVERIFY(!QFile::exists(entry));
#endif
}

void TstAutostart::systemEntryRespected()
{
#ifdef Q_OS_WIN
    // Set up for every user: shown as on, and not something a user can turn off.
    QVERIFY(regRun({QStringLiteral("add"), machineRun, QStringLiteral("/v"), QStringLiteral("traybridge"),
                    QStringLiteral("/d"), QStringLiteral("C:\\traybridge\\traybridge.exe"),
                    QStringLiteral("/f")}));
    QVERIFY(Autostart::isEnabled());
    QString error;
    QVERIFY(!Autostart::setEnabled(false, &error));
    QVERIFY2(error.contains(QStringLiteral("HKEY_LOCAL_MACHINE")), qPrintable(error));
    QVERIFY(Autostart::isEnabled());
    QVERIFY(regRun({QStringLiteral("delete"), machineRun, QStringLiteral("/v"), QStringLiteral("traybridge"),
                    QStringLiteral("/f")}));
    QVERIFY(!Autostart::isEnabled());
#else
    const QString system = m_dir.path() + QStringLiteral("/xdg/autostart/traybridge.desktop");
    QVERIFY(QDir().mkpath(QFileInfo(system).path()));
    QFile file(system);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[Desktop Entry]\nType=Application\nName=traybridge\nExec=traybridge\n");
    file.close();
    QVERIFY(Autostart::isEnabled());

    // Off: a user entry hides it; on again: the user entry goes.
    QString error;
    const QString user = m_dir.path() + QStringLiteral("/config/autostart/traybridge.desktop");
    QVERIFY2(Autostart::setEnabled(false, &error), qPrintable(error));
    QVERIFY(!Autostart::isEnabled());
    QFile hidden(user);
    QVERIFY(hidden.open(QIODevice::ReadOnly));
    QVERIFY(hidden.readAll().contains("\nHidden=true\n"));
    QVERIFY2(Autostart::setEnabled(true, &error), qPrintable(error));
    QVERIFY(Autostart::isEnabled());
    QVERIFY(!QFile::exists(user));
    QVERIFY(QFile::exists(system));
    QVERIFY(QFile::remove(system));
    QVERIFY(!Autostart::isEnabled());
#endif
}

QTEST_GUILESS_MAIN(TstAutostart)
#include "tst_autostart.moc"
