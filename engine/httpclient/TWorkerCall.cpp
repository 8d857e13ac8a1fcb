#include "engine/httpclient/TWorkerCall.h"
#include "engine/httpclient/EHttpSocketError.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

struct TWorkerCall::Shared
{
    Job job;
    int doneFd = -1;
    int abortFd = -1;
    std::atomic<bool> finished{false};

    ~Shared()
    {
        if (doneFd >= 0)
            ::close(doneFd);
        if (abortFd >= 0)
            ::close(abortFd);
    }
};

namespace {
void signal(int fd)
{
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(fd, &one, sizeof one);
}
} // namespace

TWorkerCall::TWorkerCall(Job job) : FShared(std::make_shared<Shared>())
{
    FShared->job = std::move(job);
    FShared->doneFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    FShared->abortFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FShared->doneFd < 0 || FShared->abortFd < 0)
        throw EHttpSocketError::FromErrno(errno);
    FThread = std::thread([shared = FShared] {
        shared->job(shared->abortFd);
        shared->job = nullptr; // drop what the job captured while still on this thread
        shared->finished.store(true, std::memory_order_release);
        signal(shared->doneFd);
    });
}

TWorkerCall::~TWorkerCall()
{
    if (!FThread.joinable())
        return;
    if (Finished()) {
        FThread.join();
    } else {
        signal(FShared->abortFd);
        FThread.detach(); // a lookup cannot be interrupted; it ends on its own
    }
}

int TWorkerCall::DoneFd() const
{
    return FShared->doneFd;
}

bool TWorkerCall::Finished() const
{
    return FShared->finished.load(std::memory_order_acquire);
}

void TWorkerCall::AbortAndJoin()
{
    signal(FShared->abortFd);
    if (FThread.joinable())
        FThread.join();
}
