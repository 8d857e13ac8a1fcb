#pragma once

#include <optional>

// --help and --version of the window program. They are answered before the application
// object, the single-instance guard or any file exists, so asking never disturbs a running copy.
class TInfoOptions
{
public:
    // The exit status when the first argument asks for help or the version; nothing otherwise,
    // and the window starts as usual.
    static std::optional<int> Answer(int argc, char* argv[]);
    static const char* Usage();
};
