// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/QuitOnSignal.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <array>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::array quitSignals{SIGTERM, SIGINT, SIGHUP};

// A signal handler may do almost nothing; writing one byte to a socket is one of the few things it
// may, and the event loop picks the byte up on the main thread.
int s_pipe[2] = {-1, -1};

void onSignal(int) {
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(s_pipe[0], &byte, 1);
    errno = savedErrno;
}

} // namespace

QuitOnSignal::QuitOnSignal(QObject* parent)
    : QObject(parent) {
    if (s_pipe[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, s_pipe) != 0) {
        return;
    }
    m_notifier = new QSocketNotifier(s_pipe[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &QuitOnSignal::signalArrived);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : quitSignals) {
        ::sigaction(signal, &action, nullptr);
    }
}

QuitOnSignal::~QuitOnSignal() {
    if (m_notifier == nullptr) {
        return;
    }
    for (const int signal : quitSignals) {
        std::signal(signal, SIG_DFL);
    }
    delete m_notifier;
    ::close(s_pipe[0]);
    ::close(s_pipe[1]);
    s_pipe[0] = s_pipe[1] = -1;
}

void QuitOnSignal::signalArrived() {
    char bytes[16];
    while (::read(s_pipe[1], bytes, sizeof bytes) > 0) {
    }
    QCoreApplication::quit();
}
