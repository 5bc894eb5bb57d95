// The single-instance channel over real local sockets.
#include "IPCClient.h"
#include "IPCServer.h"
#include "MessageCapture.h"
#include "StaleSocket.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString answerText = QStringLiteral("THE APPLICATION IS ALREADY RUNNING");

QString socketPath()
{
    return QDir::tempPath() + QStringLiteral("/" IPC_NAME);
}

QByteArray block(const QString& text)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_4_0);
    out << quint32(0) << text;
    out.device()->seek(0);
    out << quint32(bytes.size() - 4);
    return bytes;
}

// A listener of our own that answers every knock with the given pieces,
// pausing between them.
class PieceServer : public QObject
{
public:
    explicit PieceServer(QList<QByteArray> pieces) : m_pieces(std::move(pieces))
    {
        connect(&m_server, &QLocalServer::newConnection, this, [this] {
            QLocalSocket* c = m_server.nextPendingConnection();
            for (int i = 0; i < m_pieces.size(); ++i) {
                c->write(m_pieces.at(i));
                c->flush();
                if (i + 1 < m_pieces.size()) {
                    c->waitForBytesWritten(1000);
                    QTest::qWait(100);
                    piecesBeforeLast.append(reactions ? *reactions : 0);
                }
            }
            c->disconnectFromServer();
        });
    }
    bool listen()
    {
        QLocalServer::removeServer(QStringLiteral(IPC_NAME));
        return m_server.listen(QStringLiteral(IPC_NAME));
    }
    int* reactions = nullptr;
    QList<int> piecesBeforeLast;

private:
    QLocalServer m_server;
    QList<QByteArray> m_pieces;
};

// A listener of the program that counts the knocks it answers.
struct CountingServer
{
    CountingServer()
    {
        server.setCallback([this] { ++reactions; });
        server.start();
    }
    IPC::Server server;
    int reactions = 0;
};

// A knock of the program that counts its two outcomes.
struct CountingClient
{
    CountingClient()
    {
        client.setMessageCallback([this] { ++handedOver; });
        client.setNoServerCallback([this] { ++noServer; });
    }
    IPC::Client client;
    int handedOver = 0;
    int noServer = 0;
};

} // namespace

class TstIpc : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void serverAnswersEveryKnockWithTheBlock();
    void serverRemovesStaleEntry_data();
    void serverRemovesStaleEntry();
    void serverShowsBoxWhenItCannotListen();
    void serverDestructorWritesItsLine();

    void clientWithoutRunningCopyBecomesPrimary_data();
    void clientWithoutRunningCopyBecomesPrimary();
    void clientHandsOverWhenRunningCopyAnswers();
    void clientWaitsForWholeBlock();
    void clientDoesNotTakeEmptyOrRepeatedText();

private:
    QTemporaryDir m_tmp;
    QByteArray m_previousTmp;
    MessageCapture* m_capture = nullptr;
};

void TstIpc::initTestCase()
{
    QVERIFY(m_tmp.isValid());
    // The channel lives in the runtime folder, other local sockets in TMPDIR;
    // this run's are its own.
    qputenv("TMPDIR", QFile::encodeName(m_tmp.path()));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_tmp.path()));
    qputenv("TRAYBRIDGE_BOX_LOG", QFile::encodeName(m_tmp.path() + QStringLiteral("/boxes.log")));
    QCOMPARE(QDir::tempPath(), m_tmp.path());
}

void TstIpc::init()
{
    m_capture = new MessageCapture;
    QFile::remove(socketPath());
    QFile::remove(m_tmp.path() + QStringLiteral("/boxes.log"));
}

void TstIpc::cleanup()
{
    delete m_capture;
    m_capture = nullptr;
}

void TstIpc::serverAnswersEveryKnockWithTheBlock()
{
    CountingServer running;
    QVERIFY(QFile::exists(socketPath()));

    QByteArray expected = QByteArray::fromHex("00000048"
                                              "00000044");
    for (const QChar c : answerText)
        expected += QByteArray(1, char(0)) + char(c.unicode());
    QCOMPARE(expected.size(), 76);

    for (int i = 1; i <= 3; ++i) {
        QByteArray received;
        QLocalSocket socket;
        socket.connectToServer(QStringLiteral(IPC_NAME));
        QVERIFY(socket.waitForConnected(5000));
        QTRY_VERIFY_WITH_TIMEOUT(
            (received += socket.readAll(), socket.state() == QLocalSocket::UnconnectedState), 10000);
        received += socket.readAll();
        QCOMPARE(received.toHex(), expected.toHex());
        QCOMPARE(running.reactions, i);
    }
}

void TstIpc::serverRemovesStaleEntry_data()
{
    QTest::addColumn<bool>("socketEntry");
    QTest::newRow("socket of a dead listener") << true;
    QTest::newRow("plain file") << false;
}

void TstIpc::serverRemovesStaleEntry()
{
    QFETCH(bool, socketEntry);
    if (socketEntry) {
        QVERIFY(leaveStaleSocket(socketPath()));
    } else {
        QFile file(socketPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("left over");
    }

    CountingServer running;

    CountingClient knock;
    knock.client.send();
    QTRY_COMPARE_WITH_TIMEOUT(knock.handedOver, 1, 10000);
    QCOMPARE(knock.noServer, 0);
    QCOMPARE(running.reactions, 1);
    QVERIFY(QFile(m_tmp.path() + QStringLiteral("/boxes.log")).size() <= 0);
}

void TstIpc::serverShowsBoxWhenItCannotListen()
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    // A socket path longer than a local socket address can hold.
    const QString deep = m_tmp.path() + QLatin1Char('/') + QString(120, QLatin1Char('d'));
    QVERIFY(QDir().mkpath(deep));
    // A runtime folder is the user's own.
    QVERIFY(QFile::setPermissions(deep,
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(deep));
    {
        CountingServer running;
        qputenv("XDG_RUNTIME_DIR", runtime);

        QFile boxes(m_tmp.path() + QStringLiteral("/boxes.log"));
        QVERIFY(boxes.open(QIODevice::ReadOnly));
        const QString line = QString::fromUtf8(boxes.readAll());
        QVERIFY2(
            line.startsWith(QStringLiteral("critical\tInter Process Communications Server\tUnable to start "
                                           "the server: QLocalServer::listen: ")),
            qPrintable(line));
        QVERIFY2(line.endsWith(QStringLiteral(".\n")), qPrintable(line));
        QCOMPARE(line.count(QLatin1Char('\n')), 1);

        // Nothing listens: a later copy finds no running copy.
        CountingClient knock;
        knock.client.setMessageCallback([] { QFAIL("nobody should answer"); });
        knock.client.send();
        QTRY_COMPARE(knock.noServer, 1);
        QCOMPARE(running.reactions, 0);
    }
}

void TstIpc::serverDestructorWritesItsLine()
{
    {
        IPC::Server server;
    }
    QCOMPARE(m_capture->lines().filter(QStringLiteral("[Server::~Server] :")).size(), 1);
}

void TstIpc::clientWithoutRunningCopyBecomesPrimary_data()
{
    QTest::addColumn<bool>("staleEntry");
    QTest::addColumn<QString>("line");

    QTest::newRow("no entry")
        << false
        << "[Client::displayError] : The host was not found. Please check the host name and "
           "port settings.";
    QTest::newRow("stale entry")
        << true
        << "[Client::displayError] : The connection was refused by the peer. Make sure the "
           "<Inter Process Communications Server> is running, and check that the host name "
           "and port settings are correct.";
}

void TstIpc::clientWithoutRunningCopyBecomesPrimary()
{
    QFETCH(bool, staleEntry);
    QFETCH(QString, line);
    if (staleEntry)
        QVERIFY(leaveStaleSocket(socketPath()));

    CountingClient knock;
    knock.client.send();
    QTRY_COMPARE(knock.noServer, 1);
    QTest::qWait(0);
    QCOMPARE(knock.handedOver, 0);
    QCOMPARE(m_capture->lines().filter(QStringLiteral("[Client::displayError]")), QStringList{line});
    QCOMPARE(m_capture->count(QStringLiteral("[ send ] : connectToServer(IPC_NAME) ipc_stablediffusion")), 1);
}

void TstIpc::clientHandsOverWhenRunningCopyAnswers()
{
    CountingServer running;

    for (int copy = 1; copy <= 2; ++copy) {
        CountingClient knock;
        knock.client.send();
        QTRY_COMPARE_WITH_TIMEOUT(knock.handedOver, 1, 10000);
        QCOMPARE(running.reactions, copy);
        // The listener closes after its block: that is no reason to start up.
        QTest::qWait(50);
        QCOMPARE(knock.noServer, 0);
        QCOMPARE(knock.handedOver, 1);
    }
    QCOMPARE(m_capture->count(QStringLiteral("[Client::displayError]")), 0);
}

void TstIpc::clientWaitsForWholeBlock()
{
    const QByteArray whole = block(answerText);
    PieceServer pieces({whole.left(2), whole.mid(2, 9), whole.mid(11)});
    QVERIFY(pieces.listen());

    CountingClient knock;
    pieces.reactions = &knock.handedOver;
    knock.client.send();
    QTRY_COMPARE_WITH_TIMEOUT(knock.handedOver, 1, 10000);
    QCOMPARE(pieces.piecesBeforeLast, (QList<int>{0, 0}));
    QCOMPARE(knock.noServer, 0);
}

void TstIpc::clientDoesNotTakeEmptyOrRepeatedText()
{
    CountingClient knock;

    const QList<QPair<QString, int>> rounds{{QString(), 0},
                                            {QStringLiteral("FIRST"), 1},
                                            {QStringLiteral("FIRST"), 1},
                                            {QStringLiteral("SECOND"), 2}};
    for (const auto& round : rounds) {
        auto server = std::make_unique<PieceServer>(QList<QByteArray>{block(round.first)});
        QVERIFY(server->listen());
        const int closedBefore = m_capture->count(QStringLiteral("is not taken"));
        knock.client.send();
        if (round.second == knock.handedOver)
            QTRY_COMPARE_WITH_TIMEOUT(m_capture->count(QStringLiteral("is not taken")), closedBefore + 1,
                                      10000);
        else
            QTRY_COMPARE_WITH_TIMEOUT(knock.handedOver, round.second, 10000);
        QCOMPARE(knock.handedOver, round.second);
    }
    QCOMPARE(knock.noServer, 0);
}

QTEST_MAIN(TstIpc)
#include "tst_ipc.moc"
