#pragma once

#include "SessionMessage.h"

// The TCP_INFO figures of a connected socket, 0 where the kernel lacks a field.
SessionTcpFigures readTcpFigures(int fd);
