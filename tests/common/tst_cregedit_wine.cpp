// The Windows settings reader (built with MinGW-w64) under Wine, against
// values written with Wine's own "reg add" into a fresh prefix.
#include "WinePrefix.h"

#include <QDir>
#include <QtTest>

namespace {
const QString key = QStringLiteral("HKLM\\SOFTWARE\\Cinema4DPluginSettings");
const QString key32 = QStringLiteral("HKLM\\SOFTWARE\\WOW6432Node\\Cinema4DPluginSettings");
} // namespace

class TestCRegeditWine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void missingKey();
    void values_data();
    void values();

private:
    // Runs the probe on the names; name -> "outcome\tresult\t[value]".
    QMap<QString, QString> probe(const QStringList& names);
    void regAdd(const QString& keyPath, const QString& name, const QString& type, const QString& data,
                const QStringList& extra = {});

    WinePrefix m_prefix;
    QString m_probe;
    QMap<QString, QString> m_results;
};

QMap<QString, QString> TestCRegeditWine::probe(const QStringList& names)
{
    QMap<QString, QString> results;
    const WinePrefix::Result run = m_prefix.run(m_probe, names);
    if (!run.finished || run.exitCode != 0) {
        qWarning() << "settings_probe failed:" << run.exitCode << run.out << run.err;
        return results;
    }
    const QStringList lines = QString::fromLatin1(run.out).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    for (const QString& line : lines)
        results.insert(line.section(QLatin1Char('\t'), 0, 0), line.section(QLatin1Char('\t'), 1));
    return results;
}

void TestCRegeditWine::regAdd(const QString& keyPath, const QString& name, const QString& type,
                              const QString& data, const QStringList& extra)
{
    const WinePrefix::Result added =
        m_prefix.run(QStringLiteral("reg"), QStringList{QStringLiteral("add"), keyPath, QStringLiteral("/v"),
                                                        name, QStringLiteral("/t"), type,
                                                        QStringLiteral("/d"), data, QStringLiteral("/f")} +
                                                extra);
    QVERIFY2(added.finished && added.exitCode == 0, added.out + added.err);
}

void TestCRegeditWine::initTestCase()
{
    m_probe = qEnvironmentVariable("TB_WIN64_BIN_DIR") + QStringLiteral("/settings_probe.exe");
    QVERIFY2(QFile::exists(m_probe), qPrintable(m_probe));
    QVERIFY2(m_prefix.init(), qPrintable(m_prefix.error()));
}

void TestCRegeditWine::missingKey()
{
    // A fresh prefix has no such key.
    QCOMPARE(probe({QStringLiteral("path_python")}).value(QStringLiteral("path_python")),
             QStringLiteral("KeyNotFound\t0\t[<unchanged>]"));
}

void TestCRegeditWine::values_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");

    // Written once for every row: one reg add each, then one probe run over all names.
    if (m_results.isEmpty()) {
        regAdd(key, QStringLiteral("path_python"), QStringLiteral("REG_SZ"),
               QStringLiteral("C:\\sd\\venv\\Scripts\\python.exe"), {QStringLiteral("/reg:64")});
        regAdd(key, QStringLiteral("path_stable_difusson_bat"), QStringLiteral("REG_SZ"),
               QStringLiteral("C:\\Stable Diffusion\\webui-user.bat"));
        regAdd(key, QStringLiteral("empty"), QStringLiteral("REG_SZ"), QString());
        regAdd(key, QStringLiteral("chars254"), QStringLiteral("REG_SZ"), QString(254, QLatin1Char('x')));
        regAdd(key, QStringLiteral("chars255"), QStringLiteral("REG_SZ"), QString(255, QLatin1Char('x')));
        regAdd(key, QStringLiteral("multi"), QStringLiteral("REG_MULTI_SZ"),
               QStringLiteral("first\\0second"));
        regAdd(key, QStringLiteral("dword"), QStringLiteral("REG_DWORD"), QStringLiteral("0x00434241"));
        regAdd(key, QStringLiteral("dword_zero"), QStringLiteral("REG_DWORD"), QStringLiteral("0"));
        regAdd(key32, QStringLiteral("only32"), QStringLiteral("REG_SZ"), QStringLiteral("thirty-two"));
        regAdd(key, QStringLiteral("both"), QStringLiteral("REG_SZ"), QStringLiteral("thirty-two"),
               {QStringLiteral("/reg:32")});
        regAdd(key, QStringLiteral("both"), QStringLiteral("REG_SZ"), QStringLiteral("sixty-four"),
               {QStringLiteral("/reg:64")});
        // The 32-bit values are really there, in the view the reader must not see.
        const WinePrefix::Result seen32 =
            m_prefix.run(QStringLiteral("reg"), {QStringLiteral("query"), key, QStringLiteral("/v"),
                                                 QStringLiteral("only32"), QStringLiteral("/reg:32")});
        QVERIFY2(seen32.exitCode == 0 && seen32.out.contains("thirty-two"), seen32.out + seen32.err);

        m_results = probe({"path_python", "path_stable_difusson_bat", "empty", "chars254", "chars255",
                           "multi", "dword", "dword_zero", "only32", "both", "path_python_tcp_server"});
        QVERIFY(!m_results.isEmpty());
    }

    QTest::newRow("present") << "path_python"
                             << "Ok\t1\t[C:\\sd\\venv\\Scripts\\python.exe]";
    QTest::newRow("present with blanks") << "path_stable_difusson_bat"
                                         << "Ok\t1\t[C:\\Stable Diffusion\\webui-user.bat]";
    QTest::newRow("empty") << "empty"
                           << "ValueEmpty\t0\t[]";
    QTest::newRow("254 characters") << "chars254"
                                    << "Ok\t1\t[" + QString(254, QLatin1Char('x')) + "]";
    QTest::newRow("255 characters") << "chars255"
                                    << "ValueNotFound\t0\t[<unchanged>]";
    QTest::newRow("zero byte inside") << "multi"
                                      << "Ok\t1\t[first]";
    QTest::newRow("other type taken as bytes") << "dword"
                                               << "Ok\t1\t[ABC]";
    QTest::newRow("other type all zero") << "dword_zero"
                                         << "ValueEmpty\t0\t[]";
    QTest::newRow("32-bit view not seen") << "only32"
                                          << "ValueNotFound\t0\t[<unchanged>]";
    QTest::newRow("64-bit view wins") << "both"
                                      << "Ok\t1\t[sixty-four]";
    QTest::newRow("missing value") << "path_python_tcp_server"
                                   << "ValueNotFound\t0\t[<unchanged>]";
}

void TestCRegeditWine::values()
{
    QFETCH(QString, name);
    QFETCH(QString, expected);
    QCOMPARE(m_results.value(name), expected);
}

QTEST_GUILESS_MAIN(TestCRegeditWine)
#include "tst_cregedit_wine.moc"
