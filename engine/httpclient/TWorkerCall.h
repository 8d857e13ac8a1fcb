#pragma once

#include <functional>
#include <memory>
#include <thread>

// Runs one blocking job (a name lookup, a connect) on a thread of its own while the caller
// waits on DoneFd() and keeps serving its event queue. The job gets an fd that becomes
// readable when the caller gives up, so a job that can be interrupted stops early.
// A job that is still running when the call object goes away is left to finish on its own;
// everything it touches must be kept alive by what it captured.
class TWorkerCall
{
public:
    using Job = std::function<void(int abortFd)>;

    explicit TWorkerCall(Job job);
    ~TWorkerCall();
    TWorkerCall(const TWorkerCall &) = delete;
    TWorkerCall &operator=(const TWorkerCall &) = delete;

    // Readable once the job has returned.
    int DoneFd() const;
    bool Finished() const;
    // Asks the job to stop and waits for it to return.
    void AbortAndJoin();

private:
    struct Shared;
    std::shared_ptr<Shared> FShared;
    std::thread FThread;
};
