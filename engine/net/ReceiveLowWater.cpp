#include "engine/net/ReceiveLowWater.h"

#include <algorithm>
#include <sys/socket.h>

namespace ReceiveLowWater {

int Wanted(int64_t bytes, int64_t spanUs)
{
    if (bytes <= 0 || spanUs <= 0)
        return 1;
    return int(std::clamp<int64_t>(bytes / spanUs * WakeUs + bytes % spanUs * WakeUs / spanUs, 1, Max));
}

int Update(int fd, int current, int wanted)
{
    if (fd < 0 || (wanted * 2 > current && wanted < current * 2))
        return current;
    return ::setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &wanted, sizeof wanted) == 0 ? wanted : current;
}

} // namespace ReceiveLowWater
