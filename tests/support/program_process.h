#pragma once

#include "loopback.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>

// The program run as its users run it, in its window or as a service manager
// starts it: folders of its own, nothing of the display or the manager that
// runs the tests, and optionally a socket handed over as descriptor 3 with the
// variables naming the program's process, and what `inChild` does in the
// child before the program runs.
struct ProgramProcess {
    QTemporaryDir config, cache, state;
    QProcess process;
    QByteArray log; // standard error as far as `logs` has read it

    explicit ProgramProcess(const QStringList& arguments, const QStringList& environment = {},
        int handedFd = -1, void (*inChild)() = nullptr)
    {
        QStringList variables = QProcess::systemEnvironment()
            << "XDG_CONFIG_HOME=" + config.path() << "CACHE_DIRECTORY=" + cache.path()
            << "STATE_DIRECTORY=" + state.path();
        static const QRegularExpression inherited("^(DISPLAY|NOTIFY_SOCKET|LISTEN_[A-Z]+)=");
        variables.removeIf([](const QString& variable) { return variable.contains(inherited); });
        process.setEnvironment(variables + environment);
        QStringList command = QStringList { QStringLiteral(QUENVAR_PROGRAM) } + arguments;
        if (handedFd >= 0) {
            process.setChildProcessModifier([handedFd, inChild] {
                ::dup2(handedFd, 3);
                ::fcntl(3, F_SETFD, 0);
                if (inChild)
                    inChild();
            });
            // The shell's process id is the program's once it has exec'd.
            const char* script = "LISTEN_PID=$$ LISTEN_FDS=1 exec \"$@\"";
            command = QStringList { "/bin/sh", "-c", script, "sh" } + command;
        }
        process.start(command.takeFirst(), command);
    }
    ~ProgramProcess()
    {
        process.kill();
        process.waitForFinished(timeoutMs);
    }

    // Whether the program wrote `line` to standard error, in time.
    bool logs(const QByteArray& line)
    {
        return QTest::qWaitFor(
            [&] {
                process.waitForReadyRead(10);
                log += process.readAllStandardError();
                return log.contains(line);
            },
            timeoutMs);
    }
    bool endsWith(int status)
    {
        // It may have ended already, while the event loop ran.
        return (process.state() == QProcess::NotRunning || process.waitForFinished(timeoutMs))
            && process.exitStatus() == QProcess::NormalExit && process.exitCode() == status;
    }
};
