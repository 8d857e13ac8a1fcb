#include "engine/httpclient/TCancelFlag.h"
#include "engine/httpclient/EFetchCancelled.h"
#include "engine/httpclient/EHttpSocketError.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

TCancelFlag::TCancelFlag()
{
    FFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FFd < 0)
        throw EHttpSocketError::FromErrno(errno);
}

TCancelFlag::~TCancelFlag()
{
    ::close(FFd);
}

void TCancelFlag::Raise() noexcept
{
    FRaised.store(true, std::memory_order_release);
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(FFd, &one, sizeof one);
}

void TCancelFlag::Reset() noexcept
{
    FRaised.store(false, std::memory_order_release);
    uint64_t value;
    [[maybe_unused]] ssize_t got = ::read(FFd, &value, sizeof value); // non-blocking: drains or EAGAIN
}

void TCancelFlag::Check() const
{
    if (IsRaised())
        throw EFetchCancelled();
}
