#include "settings/WidgetPlacementTarget.h"

#include <QGuiApplication>
#include <QMetaObject>
#include <QScreen>

namespace {

constexpr int DefaultPixelsPerInch = 96;

} // namespace

TWidgetPlacementTarget::TWidgetPlacementTarget(QWidget* window)
    : FWindow(window)
{
}

TWindowPlacement TWidgetPlacementTarget::GetPlacement() const
{
    TWindowPlacement placement;
    if (!FWindow)
        return placement;
    placement.ShowCmd = FWindow->isMinimized() ? 2 : FWindow->isMaximized() ? 3 : 1;
    // No minimized or maximized positions of our own: the window system chooses them.
    placement.MinPosition = QPoint(-1, -1);
    placement.MaxPosition = QPoint(-1, -1);
    const bool normal = !(FWindow->windowState() & (Qt::WindowMinimized | Qt::WindowMaximized));
    const QRect rect = normal ? QRect(FWindow->pos(), FWindow->size()) : FWindow->normalGeometry();
    placement.NormalLeft = rect.left();
    placement.NormalTop = rect.top();
    placement.NormalRight = rect.left() + rect.width();
    placement.NormalBottom = rect.top() + rect.height();
    return placement;
}

void TWidgetPlacementTarget::ApplyPlacement(const TWindowPlacement& placement)
{
    if (!FWindow)
        return;
    // move() also marks the position as chosen, so the window system keeps it.
    FWindow->move(placement.NormalLeft, placement.NormalTop);
}

void TWidgetPlacementTarget::SetShowState(TWindowShowState state)
{
    if (!FWindow)
        return;
    Qt::WindowStates states = FWindow->windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized);
    if (state == TWindowShowState::Maximized)
        states |= Qt::WindowMaximized;
    else if (state == TWindowShowState::Minimized)
        states |= Qt::WindowMinimized;
    FWindow->setWindowState(states);
}

bool TWidgetPlacementTarget::IsVisible() const
{
    return FWindow && FWindow->isVisible();
}

bool TWidgetPlacementTarget::IsMainWindow() const
{
    return FWindow && FWindow->isWindow() && !FWindow->parentWidget();
}

bool TWidgetPlacementTarget::IsApplicationMinimized() const
{
    // The program has one top-level window: minimizing the application minimizes it.
    return FWindow && FWindow->isMinimized();
}

void TWidgetPlacementTarget::MinimizeApplication()
{
    if (FWindow)
        QMetaObject::invokeMethod(FWindow.data(), "showMinimized", Qt::QueuedConnection);
}

int TWidgetPlacementTarget::Width() const
{
    return FWindow ? FWindow->width() : 0;
}

int TWidgetPlacementTarget::Height() const
{
    return FWindow ? FWindow->height() : 0;
}

int TWidgetPlacementTarget::PixelsPerInch() const
{
    const QScreen* screen = FWindow && FWindow->screen() ? FWindow->screen() : QGuiApplication::primaryScreen();
    return screen ? qRound(screen->logicalDotsPerInch()) : DefaultPixelsPerInch;
}

QSize TWidgetPlacementTarget::ScreenSize() const
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->size() : QSize();
}
