// A bare host for CTcpServer, so that tests can watch the paths that end the
// process and the program under descriptor limits: it raises the open-files
// limit as the tray program does, builds the application, installs the tray
// program's settings reports and builds the server, then prints "listening".
//
//   --request-wait MS       waits MS for each connection's request
//   --leave-descriptors N   then takes every free descriptor but N and prints
//                           "descriptors taken" (not on Windows)

#include "CTcpServer.h"
#include "OpenFilesLimit.h"
#include "SettingsReporter.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <unistd.h>
#endif

int main(int argc, char** argv)
{
    tb::raiseOpenFilesLimit();
    QApplication app(argc, argv);
    installSettingsReporter();
    int leave = -1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--request-wait") == 0)
            CTcpServer::setRequestWaitForTests(std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--leave-descriptors") == 0)
            leave = std::atoi(argv[i + 1]);
    }
    CTcpServer server;
    std::printf("listening\n");

#ifndef Q_OS_WIN
    if (leave >= 0) {
        std::vector<int> taken;
        for (;;) {
            const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                break;
            taken.push_back(fd);
        }
        for (int left = leave; left > 0 && !taken.empty(); --left) {
            ::close(taken.back());
            taken.pop_back();
        }
        std::printf("descriptors taken\n");
    }
#endif
    std::fflush(stdout);
    return app.exec();
}
