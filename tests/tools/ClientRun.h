#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// Runs plugin-client from the build's bin folder as a child process while the
// test's event loop goes on (so that servers in the test keep answering).
class ClientRun
{
public:
    static QString clientPath();
    // Starts the client with `input` on its standard input, waits for its end
    // and fills the fields.
    static ClientRun run(const QStringList& args, const QByteArray& input = QByteArray(), int waitMs = 60000);

    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};
