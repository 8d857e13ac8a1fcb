#pragma once

#include <atomic>

// A cancel request that any thread may raise and that a poll() can wait on: the flag for
// cheap checks between blocks, the eventfd so that a wait in progress wakes at once.
class TCancelFlag
{
public:
    TCancelFlag();
    ~TCancelFlag();
    TCancelFlag(const TCancelFlag &) = delete;
    TCancelFlag &operator=(const TCancelFlag &) = delete;

    void Raise() noexcept;
    void Reset() noexcept;
    bool IsRaised() const noexcept { return FRaised.load(std::memory_order_acquire); }
    // Readable while raised.
    int Fd() const noexcept { return FFd; }
    // Throws EFetchCancelled when raised.
    void Check() const;

private:
    std::atomic<bool> FRaised{false};
    int FFd = -1;
};
