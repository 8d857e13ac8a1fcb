#include "ui/TKorvaneApplication.h"

#include "engine/ApplicationExceptionHandler.h"
#include "engine/KorvaneException.h"

#include <QMetaObject>

#include <cstdio>
#include <stdexcept>

TKorvaneApplication::TKorvaneApplication(int& argc, char** argv)
    : QApplication(argc, argv)
{
    setApplicationExceptionHandler([this](const std::exception& e) { HandleException(e); });
}

TKorvaneApplication::~TKorvaneApplication()
{
    setApplicationExceptionHandler({});
}

TKorvaneApplication* TKorvaneApplication::Instance()
{
    return qobject_cast<TKorvaneApplication*>(QCoreApplication::instance());
}

void TKorvaneApplication::SetTitle(const QString& title)
{
    FTitle = title;
    // Not the display name: Qt would append that to every window title.
    setApplicationName(title);
}

void TKorvaneApplication::SetOnException(TExceptionEvent handler)
{
    FOnException = std::move(handler);
}

void TKorvaneApplication::HandleException(const std::exception& E) noexcept
{
    try {
        if (FOnException) {
            FOnException(E);
            return;
        }
    } catch (const std::exception& inner) {
        std::fprintf(stderr, "Exception in the exception handler: %s\n", inner.what());
    } catch (...) {
        std::fprintf(stderr, "Unknown exception in the exception handler\n");
    }
    std::fprintf(stderr, "%s\n", E.what());
}

void TKorvaneApplication::Terminate()
{
    FTerminated = true;
    // Queued, so it ends the loop once it runs even when called before exec().
    QMetaObject::invokeMethod(this, &QCoreApplication::quit, Qt::QueuedConnection);
}

bool TKorvaneApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        HandleException(e);
    } catch (...) {
        HandleException(std::runtime_error("Unknown exception"));
    }
    return false;
}

QString TKorvaneApplication::MessageOf(const std::exception& E)
{
    return Exception::MessageOf(E);
}
