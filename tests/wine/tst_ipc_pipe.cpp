// The single-instance channel as Windows has it: the named pipe
// \\.\pipe\ipc_stablediffusion, a copy that died leaving the name free, and a
// knock with nobody listening. Runs under Wine.
#include "IPCClient.h"
#include "IPCServer.h"
#include "MessageCapture.h"

#include <QApplication>
#include <QLocalSocket>
#include <QProcess>
#include <QtTest>

#include <windows.h>

#include <cstdio>

namespace {

// The 76-byte block: two lengths, then the text in UTF-16BE.
QByteArray expectedBlock()
{
    QByteArray block = QByteArray::fromHex("0000004800000044");
    for (const QChar c : QStringLiteral("THE APPLICATION IS ALREADY RUNNING"))
        block += QByteArray(1, char(0)) + char(c.unicode());
    return block;
}

// Reads what the listener sends to one knock, through the pipe's Windows name.
QByteArray knockThroughWin32()
{
    const wchar_t* name = L"\\\\.\\pipe\\" TEXT(IPC_NAME);
    if (!WaitNamedPipeW(name, 5000))
        return QByteArray("no pipe: ") + QByteArray::number(quint32(GetLastError()));
    HANDLE pipe = CreateFileW(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE)
        return QByteArray("cannot open: ") + QByteArray::number(quint32(GetLastError()));
    QByteArray received;
    char buffer[256];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0)
        received.append(buffer, int(got));
    CloseHandle(pipe);
    return received;
}

} // namespace

class TstIpcPipe : public QObject
{
    Q_OBJECT

private slots:
    void listenerAnswersOnTheNamedPipe();
    void nameOfADeadCopyIsFree();
    void knockWithoutListenerBecomesPrimary();
};

void TstIpcPipe::listenerAnswersOnTheNamedPipe()
{
    int reactions = 0;
    IPC::Server server;
    server.setCallback([&reactions] { ++reactions; });
    server.start();

    for (int i = 1; i <= 2; ++i) {
        QByteArray received;
        QThread* reader = QThread::create([&received] { received = knockThroughWin32(); });
        reader->start();
        QTRY_VERIFY_WITH_TIMEOUT(reader->isFinished(), 10000);
        delete reader;
        QCOMPARE(received.toHex(), expectedBlock().toHex());
        QTRY_COMPARE(reactions, i);
    }
}

void TstIpcPipe::nameOfADeadCopyIsFree()
{
    // Another copy listens, then dies without closing anything.
    QProcess copy;
    copy.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    copy.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--listen")});
    QVERIFY(copy.waitForStarted(30000));
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += copy.readAllStandardOutput()).contains("listening"), 30000);
    QVERIFY(WaitNamedPipeW(L"\\\\.\\pipe\\" TEXT(IPC_NAME), 5000));
    copy.kill();
    QVERIFY(copy.waitForFinished(30000));

    // The next copy listens on the name and answers the knock after it.
    int reactions = 0;
    MessageCapture capture;
    IPC::Server server;
    server.setCallback([&reactions] { ++reactions; });
    server.start();
    int handedOver = 0, noServer = 0;
    IPC::Client client;
    client.setMessageCallback([&handedOver] { ++handedOver; });
    client.setNoServerCallback([&noServer] { ++noServer; });
    client.send();
    QTRY_COMPARE_WITH_TIMEOUT(handedOver, 1, 10000);
    QCOMPARE(noServer, 0);
    QCOMPARE(reactions, 1);
    QCOMPARE(capture.count(QStringLiteral("Unable to start the server")), 0);
}

void TstIpcPipe::knockWithoutListenerBecomesPrimary()
{
    MessageCapture capture;
    int handedOver = 0, noServer = 0;
    IPC::Client client;
    client.setMessageCallback([&handedOver] { ++handedOver; });
    client.setNoServerCallback([&noServer] { ++noServer; });
    client.send();
    QTRY_COMPARE_WITH_TIMEOUT(noServer, 1, 10000);
    QCOMPARE(handedOver, 0);
    QCOMPARE(capture.count(QStringLiteral("[ send ] : connectToServer(IPC_NAME) ipc_stablediffusion")), 1);
}

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc > 1 && qstrcmp(argv[1], "--listen") == 0) {
        // The copy that dies: it listens until it is killed.
        IPC::Server server;
        server.start();
        std::printf("listening\n");
        std::fflush(stdout);
        return app.exec();
    }
    TstIpcPipe test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ipc_pipe.moc"
