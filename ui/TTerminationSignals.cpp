#include "ui/TTerminationSignals.h"

#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A signal handler may only write to a descriptor; the GUI thread reads the other end.
int gSignalPipe[2] = {-1, -1};
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

extern "C" void WriteSignalByte(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(gSignalPipe[0], &byte, 1);
    errno = saved;
}

} // namespace

TTerminationSignals::TTerminationSignals(QObject* parent) : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, gSignalPipe) != 0)
        return; // without it the default handling stays: the program simply ends
    FNotifier = new QSocketNotifier(gSignalPipe[1], QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, &TTerminationSignals::Drain);
    struct sigaction action {};
    action.sa_handler = WriteSignalByte;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : kSignals)
        ::sigaction(signal, &action, nullptr);
}

TTerminationSignals::~TTerminationSignals()
{
    if (!FNotifier)
        return;
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signal : kSignals)
        ::sigaction(signal, &action, nullptr);
    delete FNotifier;
    ::close(gSignalPipe[0]);
    ::close(gSignalPipe[1]);
    gSignalPipe[0] = gSignalPipe[1] = -1;
}

void TTerminationSignals::Drain()
{
    char bytes[64];
    while (::read(gSignalPipe[1], bytes, sizeof bytes) > 0) {
    }
    Deliver();
}

void TTerminationSignals::Deliver()
{
    // A request during start-up (events served while the window is being restored) comes
    // before any event loop that a quit could end: hold it until the loop runs.
    if (QThread::currentThread()->loopLevel() == 0) {
        QTimer::singleShot(50, this, &TTerminationSignals::Deliver);
        return;
    }
    emit terminationRequested();
}
