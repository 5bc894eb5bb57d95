#pragma once

// A test main that runs the test from a copy of its executable in a temporary
// folder: whatever the code under test keeps beside the executable (the start
// log) is then the test's own and never meets another test's.

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

namespace tb_test {

inline int runRelocated(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString self = QCoreApplication::applicationFilePath();
    const QString copy = dir.filePath(QFileInfo(self).fileName());
    if (!dir.isValid() || !QFile::copy(self, copy)) {
        std::fprintf(stderr, "cannot copy %s to a temporary folder\n", qPrintable(self));
        return 1;
    }
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TB_RELOCATED_TEST"), QStringLiteral("1"));
#ifdef Q_OS_WIN
    // The DLLs and Qt's plug-ins stay beside the original.
    const QString home = QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
    env.insert(QStringLiteral("PATH"), home + QLatin1Char(';') + env.value(QStringLiteral("PATH")));
    env.insert(QStringLiteral("QT_PLUGIN_PATH"), home);
#endif
    child.setProcessEnvironment(env);
    child.start(copy, QCoreApplication::arguments().mid(1));
    if (!child.waitForStarted(-1)) {
        std::fprintf(stderr, "cannot start %s: %s\n", qPrintable(copy), qPrintable(child.errorString()));
        return 1;
    }
    child.waitForFinished(-1);
    return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : 1;
}

} // namespace tb_test

#define TB_RELOCATED_TEST_MAIN(TestObject)                                                                   \
    int main(int argc, char** argv)                                                                          \
    {                                                                                                        \
        if (qEnvironmentVariableIsEmpty("TB_RELOCATED_TEST"))                                                \
            return tb_test::runRelocated(argc, argv);                                                        \
        QApplication app(argc, argv);                                                                        \
        TestObject test;                                                                                     \
        return QTest::qExec(&test, argc, argv);                                                              \
    }
