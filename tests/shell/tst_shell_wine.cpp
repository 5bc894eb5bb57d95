// The Windows process list and elevated run (tests/winside/shell) under Wine:
// a stand-in program run under the names of Cinema 4D and of ctlrunner.
#include "WinePrefix.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class TstShellWine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void processListFindsCinemaWhateverItsCase_data();
    void processListFindsCinemaWhateverItsCase();
    void elevatedRunWaitsAndReturnsExitCode_data();
    void elevatedRunWaitsAndReturnsExitCode();
    void elevatedRunOfMissingToolFailsToStart();

private:
    QString winBin(const QString& name) const { return m_winBin + QLatin1Char('/') + name; }
    QStringList processNames();

    QString m_winBin;
    std::unique_ptr<WinePrefix> m_prefix;
    QTemporaryDir m_dir;
};

void TstShellWine::initTestCase()
{
    m_winBin = qEnvironmentVariable("TB_WIN64_BIN_DIR");
    for (const char* exe : {"shell_proclist.exe", "shell_elevated.exe", "shell_standin.exe"})
        QVERIFY2(QFile::exists(winBin(QString::fromLatin1(exe))), exe);
    QVERIFY(m_dir.isValid());
    m_prefix = std::make_unique<WinePrefix>();
    QVERIFY2(m_prefix->init(), qPrintable(m_prefix->error()));
}

QStringList TstShellWine::processNames()
{
    const WinePrefix::Result list = m_prefix->run(winBin(QStringLiteral("shell_proclist.exe")), {});
    if (!list.finished || list.exitCode != 0)
        return {QStringLiteral("<no list>")};
    return QString::fromUtf8(list.out).remove(QLatin1Char('\r')).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void TstShellWine::processListFindsCinemaWhateverItsCase_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("as shipped") << "Cinema 4D.exe";
    QTest::newRow("lower case") << "cinema 4d.exe";
    QTest::newRow("mixed case") << "CINEMA 4d.Exe";
    QTest::newRow("non-ASCII name") << QString::fromUtf8("Кинема 4D.exe");
}

void TstShellWine::processListFindsCinemaWhateverItsCase()
{
    QFETCH(QString, name);
    const QString dir = m_dir.path() + QStringLiteral("/") + QString::number(qHash(name));
    QVERIFY(QDir().mkpath(dir));
    const QString exe = dir + QLatin1Char('/') + name;
    QVERIFY(QFile::copy(winBin(QStringLiteral("shell_standin.exe")), exe));

    QProcess cinema;
    cinema.setProcessEnvironment(m_prefix->environment());
    cinema.start(WinePrefix::wineBinary(), {exe});
    QVERIFY(cinema.waitForStarted(30000));
    // The stand-in writes its record once it runs.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(exe + QStringLiteral(".args")), 60000);

    const QStringList running = processNames();
    // The snapshot gives the name without folder, UTF-16 turned into UTF-8, letter case kept ...
    QVERIFY2(running.contains(name), qPrintable(running.join(QLatin1Char(','))));
    // ... which the tray program compares without regard to case.
    if (!name.startsWith(QStringLiteral("Кинема")))
        QCOMPARE(running
                     .filter(QRegularExpression(QStringLiteral("^cinema 4d\\.exe$"),
                                                QRegularExpression::CaseInsensitiveOption))
                     .size(),
                 1);

    QFile stop(exe + QStringLiteral(".stop"));
    QVERIFY(stop.open(QIODevice::WriteOnly));
    stop.close();
    QVERIFY(cinema.waitForFinished(30000));
    QVERIFY(!processNames().contains(name));
}

void TstShellWine::elevatedRunWaitsAndReturnsExitCode_data()
{
    QTest::addColumn<int>("code");
    QTest::newRow("success") << 0;
    QTest::newRow("failure") << 7;
    QTest::newRow("large code") << 1223;
}

void TstShellWine::elevatedRunWaitsAndReturnsExitCode()
{
    QFETCH(int, code);
    const QString dir = m_dir.path() + QStringLiteral("/Program Files/tool %1").arg(code);
    QVERIFY(QDir().mkpath(dir));
    const QString tool = dir + QStringLiteral("/ctlrunner.exe");
    QVERIFY(QFile::copy(winBin(QStringLiteral("shell_standin.exe")), tool));
    QFile exitFile(tool + QStringLiteral(".exit"));
    QVERIFY(exitFile.open(QIODevice::WriteOnly));
    exitFile.write(QByteArray::number(code));
    exitFile.close();

    const WinePrefix::Result run =
        m_prefix->run(winBin(QStringLiteral("shell_elevated.exe")),
                      {WinePrefix::windowsPath(tool), QStringLiteral("SIGNAL_STOP")});
    QVERIFY(run.finished);
    QCOMPARE(QString::fromUtf8(run.out).remove(QLatin1Char('\r')),
             QStringLiteral("started\nexit %1\n").arg(code));
    // The tool's last act before it ended is there: the run waited for it.
    QVERIFY(QFile::exists(tool + QStringLiteral(".done")));
    QFile args(tool + QStringLiteral(".args"));
    QVERIFY(args.open(QIODevice::ReadOnly));
    QCOMPARE(args.readAll(), QByteArray("SIGNAL_STOP\n"));
}

void TstShellWine::elevatedRunOfMissingToolFailsToStart()
{
    const QString tool = m_dir.path() + QStringLiteral("/absent/ctlrunner.exe");
    const WinePrefix::Result run =
        m_prefix->run(winBin(QStringLiteral("shell_elevated.exe")),
                      {WinePrefix::windowsPath(tool), QStringLiteral("SIGNAL_STOP")});
    QVERIFY(run.finished);
    const QString out = QString::fromUtf8(run.out).remove(QLatin1Char('\r'));
    QVERIFY2(out.startsWith(QStringLiteral("start failed ")), qPrintable(out));
    QVERIFY(out.mid(13).trimmed().toULong() != 0);
}

QTEST_GUILESS_MAIN(TstShellWine)
#include "tst_shell_wine.moc"
