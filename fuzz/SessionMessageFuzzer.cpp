// Session protocol lines: the input is split into lines as a peer's bytes are, in chunks
// whose sizes the input's first byte picks. Every line either reads, and then writes back
// as one line that reads as the same message, or gives a short error text.

#include "fuzz/FuzzCheck.h"

#include "protocol/SessionLineReader.h"
#include "protocol/SessionMessage.h"

#include <string>
#include <string_view>

namespace {

void CheckLine(std::string_view line)
{
    SessionMessage message;
    std::string error;
    if (!SessionProtocol::parse(line, message, error)) {
        FUZZ_CHECK(!error.empty() && error.size() < 200);
        return;
    }
    const std::string written = SessionProtocol::write(message);
    FUZZ_CHECK(!written.empty() && written.back() == '\n' && written.find('\n') == written.size() - 1);
    FUZZ_CHECK(written.size() < SessionProtocol::MaxServerLineBytes);
    SessionMessage back;
    FUZZ_CHECK(SessionProtocol::parse(std::string_view(written).substr(0, written.size() - 1), back, error));
    FUZZ_CHECK(back == message);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t chunk = size_t(data[0]) * 37 + 1;
    const std::string_view bytes(reinterpret_cast<const char *>(data) + 1, size - 1);

    SessionLineReader reader(SessionProtocol::MaxLineBytes);
    size_t expectedStart = 0; // the same lines found directly in the bytes
    bool tooLong = false;
    for (size_t at = 0; at < bytes.size() && !tooLong; at += chunk) {
        reader.append(bytes.substr(at, chunk));
        std::string line;
        SessionLineReader::Result r;
        while ((r = reader.next(line)) == SessionLineReader::Result::Line) {
            const size_t end = bytes.find('\n', expectedStart);
            FUZZ_CHECK(end != std::string_view::npos);
            FUZZ_CHECK(bytes.substr(expectedStart, end - expectedStart) == line);
            FUZZ_CHECK(line.size() < SessionProtocol::MaxLineBytes);
            expectedStart = end + 1;
            CheckLine(line);
        }
        if (r == SessionLineReader::Result::TooLong) {
            const size_t end = bytes.find('\n', expectedStart);
            FUZZ_CHECK((end == std::string_view::npos ? bytes.size() : end) - expectedStart >= SessionProtocol::MaxLineBytes);
            tooLong = true;
        }
    }
    if (!tooLong) {
        FUZZ_CHECK(bytes.find('\n', expectedStart) == std::string_view::npos);
        FUZZ_CHECK(reader.takeRest() == bytes.substr(expectedStart));
    }
    // The last piece without a newline is read as a line too, so long lines reach the reader.
    CheckLine(bytes.substr(expectedStart));
    return 0;
}
