#pragma once

#include <exception>
#include <functional>
#include <stdexcept>

// Exceptions must never cross Qt's event loop. Code that dispatches notifications catches
// what escapes a handler and passes it here; the program decides what to do with it.
using ApplicationExceptionHandlerFunc = std::function<void(const std::exception &)>;

void setApplicationExceptionHandler(ApplicationExceptionHandlerFunc handler);

// Hands the exception to the program's handler (or warns when none is set). Never throws.
void handleApplicationException(const std::exception &e) noexcept;

// Runs a notification handler and routes whatever escapes it to the program's handler.
template <typename F>
void dispatchGuarded(F &&f) noexcept
{
    try {
        f();
    } catch (const std::exception &e) {
        handleApplicationException(e);
    } catch (...) {
        handleApplicationException(std::runtime_error("Unknown exception"));
    }
}
