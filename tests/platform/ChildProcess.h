// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

// A real child process for the tests that look processes up by pid; killed and reaped on scope exit.
class ChildProcess final {
public:
    // Returns once the child runs `finalProgram` (by default `program`) with its environment in
    // place: QProcess reports a start when the exec closes its descriptors, which is before the
    // kernel has set up the new program's environment, and a shell that execs runs another
    // program later still.
    explicit ChildProcess(const QString& program, const QStringList& arguments = {QStringLiteral("30")},
                          const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
                          const QString& finalProgram = {}) {
        m_process.setProcessEnvironment(environment);
        m_process.start(program, arguments);
        m_process.waitForStarted();
        waitUntilRunning(QFileInfo(finalProgram.isEmpty() ? program : finalProgram).fileName());
    }
    ~ChildProcess() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // `sleep 30` as a desktop launcher starts the program of the entry at `entryPath`: the
    // launcher's variables name the entry, and the pid they name is the child's own.
    static ChildProcess launchedFromDesktopEntry(const QString& entryPath) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("GIO_LAUNCHED_DESKTOP_FILE"), entryPath);
        return ChildProcess(
            QStringLiteral("/bin/sh"),
            {QStringLiteral("-c"), QStringLiteral("export GIO_LAUNCHED_DESKTOP_FILE_PID=$$; exec sleep 30")},
            environment, QStringLiteral("sleep"));
    }

    bool running() const { return m_process.state() == QProcess::Running; }
    qint32 pid() const { return static_cast<qint32>(m_process.processId()); }

private:
    void waitUntilRunning(const QString& name) {
        const QString proc = QStringLiteral("/proc/%1/").arg(pid());
        for (int attempt = 0; attempt < 500 && running(); ++attempt) {
            QFile comm(proc + QStringLiteral("comm"));
            QFile environ(proc + QStringLiteral("environ"));
            if (comm.open(QIODevice::ReadOnly) && environ.open(QIODevice::ReadOnly) &&
                QString::fromUtf8(comm.readAll()).trimmed() == name.left(15) && !environ.read(1).isEmpty()) {
                return;
            }
            ::usleep(10'000);
        }
    }

    QProcess m_process;
};

// A child started from a raw byte path, for paths that no QString can spell (invalid UTF-8).
class RawChildProcess final {
public:
    explicit RawChildProcess(const QByteArray& program) {
        m_pid = ::fork();
        if (m_pid == 0) {
            const char* const argv[] = {program.constData(), "30", nullptr};
            ::execv(program.constData(), const_cast<char* const*>(argv));
            ::_exit(127);
        }
    }
    ~RawChildProcess() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    RawChildProcess(const RawChildProcess&) = delete;
    RawChildProcess& operator=(const RawChildProcess&) = delete;

    qint32 pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
};
