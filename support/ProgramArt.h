#pragma once

#include <QIcon>
#include <QPixmap>

// The program's own pictures, drawn in code: the icon and the splash logo.
class TProgramArt
{
public:
    // The program icon at the given square size (32 for the about box).
    static QPixmap IconPixmap(int size);
    // The icon in the usual sizes, for QApplication::setWindowIcon.
    static QIcon ProgramIcon();
    // The splash logo, 201 x 203.
    static QPixmap Logo();
};
