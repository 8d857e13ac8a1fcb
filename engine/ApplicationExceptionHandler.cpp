#include "engine/ApplicationExceptionHandler.h"

#include <QtGlobal>

namespace {
ApplicationExceptionHandlerFunc &currentHandler()
{
    static ApplicationExceptionHandlerFunc handler;
    return handler;
}
} // namespace

void setApplicationExceptionHandler(ApplicationExceptionHandlerFunc handler)
{
    currentHandler() = std::move(handler);
}

void handleApplicationException(const std::exception &e) noexcept
{
    try {
        if (currentHandler())
            currentHandler()(e);
        else
            qWarning("Unhandled exception: %s", e.what());
    } catch (...) {
        // A failing handler must not take the event loop down with it.
        qWarning("Exception handler failed while handling: %s", e.what());
    }
}
