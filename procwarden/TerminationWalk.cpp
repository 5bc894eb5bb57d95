#include "TerminationWalk.h"

#include "ProcessTable.h"
#include "ServiceLog.h"

void terminationWalk(const std::string& imagePath, bool verbose)
{
    proctable::Handle snapshot = proctable::createSnapshot();
    PwDword processId = 0;
    if (proctable::first(snapshot, processId)) {
        do {
            proctable::Handle process = proctable::openForQuery(processId);
            if (!process) {
                if (verbose)
                    writeLog("My Sample Service: err str559");
                continue;
            }
            char imageName[260];
            PwDword size = sizeof imageName;
            if (!proctable::queryFullImageName(process, imageName, size)) {
                if (verbose)
                    writeLog("My Sample Service: err str558");
            } else if (!proctable::startedThrough(process, imageName, imagePath.c_str())) {
                if (verbose)
                    writeLog("My Sample Service: err str557");
            } else {
                proctable::Handle victim = proctable::openForTerminate(processId);
                const bool ended = proctable::terminate(victim, 0);
                proctable::close(victim);
                if (!ended)
                    writeLog("My Sample Service: python.exe process not terminated");
                else if (verbose)
                    writeLog("My Sample Service: 'ok send' Terminated python.exe process");
                else
                    writeLog("My Sample Service: Terminated python.exe process");
            }
            proctable::close(process);
        } while (proctable::next(snapshot, processId));
    }
    proctable::closeSnapshot(snapshot);
}
