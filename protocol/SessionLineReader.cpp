#include "protocol/SessionLineReader.h"

SessionLineReader::SessionLineReader(size_t maxLineBytes)
    : FMax(maxLineBytes)
{
}

void SessionLineReader::append(std::string_view bytes)
{
    if (FTooLong)
        return;
    if (FStart > 0) {
        FBuffer.erase(0, FStart);
        FStart = 0;
    }
    FBuffer.append(bytes);
}

SessionLineReader::Result SessionLineReader::next(std::string &line)
{
    if (FTooLong)
        return Result::TooLong;
    const size_t end = FBuffer.find('\n', FStart);
    const size_t length = (end == std::string::npos ? FBuffer.size() : end) - FStart;
    if (length + 1 > FMax && (end != std::string::npos || length >= FMax)) {
        FTooLong = true;
        FBuffer.clear();
        FStart = 0;
        return Result::TooLong;
    }
    if (end == std::string::npos)
        return Result::NeedMore;
    line.assign(FBuffer, FStart, length);
    FStart = end + 1;
    if (FStart == FBuffer.size()) {
        FBuffer.clear();
        FStart = 0;
    }
    return Result::Line;
}

std::string SessionLineReader::takeRest()
{
    std::string rest = FBuffer.substr(FStart);
    FBuffer.clear();
    FStart = 0;
    return rest;
}
