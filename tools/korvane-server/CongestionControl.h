#pragma once

#include <string>

// The TCP congestion control of the data connections (--congestion), as the kernel names it.
namespace CongestionControl {

// Whether this machine lets a connection use `name`; when not, why, for a person.
bool available(const std::string &name, std::string &error);
// Sets it on a connection; an empty name leaves the system's.
void apply(int fd, const std::string &name);

} // namespace CongestionControl
