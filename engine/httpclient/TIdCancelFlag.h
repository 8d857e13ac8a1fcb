#pragma once

#include <atomic>

// A cancel request that any thread may raise and that a poll() can wait on: the flag for
// cheap checks between blocks, the eventfd so that a wait in progress wakes at once.
class TIdCancelFlag
{
public:
    TIdCancelFlag();
    ~TIdCancelFlag();
    TIdCancelFlag(const TIdCancelFlag &) = delete;
    TIdCancelFlag &operator=(const TIdCancelFlag &) = delete;

    void Raise() noexcept;
    void Reset() noexcept;
    bool IsRaised() const noexcept { return FRaised.load(std::memory_order_acquire); }
    // Readable while raised.
    int Fd() const noexcept { return FFd; }
    // Throws EIdFetchCancelled when raised.
    void Check() const;

private:
    std::atomic<bool> FRaised{false};
    int FFd = -1;
};
