#pragma once

#include <string>
#include <string_view>

// Splits received bytes into lines ended by "\n", refusing a line longer than a limit
// (its newline included) as soon as the limit is passed. Call next() until NeedMore after
// every append: then a peer that never sends a newline holds at most the limit plus one
// append's bytes.
class SessionLineReader
{
public:
    enum class Result { Line, NeedMore, TooLong };

    explicit SessionLineReader(size_t maxLineBytes);

    void append(std::string_view bytes);
    // The next whole line, without its newline. Once TooLong, always TooLong.
    Result next(std::string &line);
    // The bytes after the last line taken; the reader is left empty.
    std::string takeRest();
    size_t buffered() const { return FBuffer.size() - FStart; }

private:
    size_t FMax;
    std::string FBuffer;
    size_t FStart = 0; // bytes before this are lines already taken
    bool FTooLong = false;
};
