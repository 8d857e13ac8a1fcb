#include "tools/korvane-cli/ProgressMeter.h"

#include "engine/ControlCharacters.h"
#include "engine/run/ProgressText.h"

#include <sys/ioctl.h>
#include <unistd.h>

ProgressMeter::ProgressMeter(FILE *terminal)
    : FTerminal(terminal)
{
}

ProgressMeter::~ProgressMeter()
{
    Clear();
}

int ProgressMeter::Columns() const
{
    winsize size{};
    if (::ioctl(fileno(FTerminal), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

QString ProgressMeter::Line(const QString &target, const TTestProgress &progress, int columns)
{
    const QString figures = ProgressText::Figures(progress);
    // A line as wide as the terminal wraps, and the carriage return then rewrites only its
    // last part; the target gives way first, then the figures.
    const int room = std::max(columns - 1, 1);
    // Control characters in a target would move the cursor.
    QString name = EscapeControlCharacters(target);
    const int nameRoom = room - int(figures.size()) - 2;
    if (nameRoom < 8)
        return figures.left(room);
    if (name.size() > nameRoom)
        name = name.left(nameRoom - 3) + QStringLiteral("...");
    return name + QStringLiteral("  ") + figures;
}

void ProgressMeter::Show(const QString &target, const TTestProgress &progress)
{
    const QByteArray line = Line(target, progress, Columns()).toUtf8();
    // Back to the line's start, the new text, then erase what is left of the old one.
    std::fputc('\r', FTerminal);
    std::fwrite(line.constData(), 1, size_t(line.size()), FTerminal);
    std::fputs("\x1b[K", FTerminal);
    std::fflush(FTerminal);
    FShown = true;
}

void ProgressMeter::Clear()
{
    if (!FShown)
        return;
    std::fputs("\r\x1b[K", FTerminal);
    std::fflush(FTerminal);
    FShown = false;
}
