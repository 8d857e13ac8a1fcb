#include "TIdCancelFlag.h"
#include "EIdFetchCancelled.h"
#include "EIdSocketError.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

TIdCancelFlag::TIdCancelFlag()
{
    FFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FFd < 0)
        throw EIdSocketError::FromErrno(errno);
}

TIdCancelFlag::~TIdCancelFlag()
{
    ::close(FFd);
}

void TIdCancelFlag::Raise() noexcept
{
    FRaised.store(true, std::memory_order_release);
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(FFd, &one, sizeof one);
}

void TIdCancelFlag::Reset() noexcept
{
    FRaised.store(false, std::memory_order_release);
    uint64_t value;
    [[maybe_unused]] ssize_t got = ::read(FFd, &value, sizeof value); // non-blocking: drains or EAGAIN
}

void TIdCancelFlag::Check() const
{
    if (IsRaised())
        throw EIdFetchCancelled();
}
