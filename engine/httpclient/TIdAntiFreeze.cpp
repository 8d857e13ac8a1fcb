#include "TIdAntiFreeze.h"
#include "EIdException.h"

#include <QCoreApplication>
#include <QThread>

#include <atomic>

namespace {
std::atomic<TIdAntiFreeze *> gInstance{nullptr};
}

TIdAntiFreeze::TIdAntiFreeze(QObject *parent) : QObject(parent)
{
    TIdAntiFreeze *expected = nullptr;
    if (!gInstance.compare_exchange_strong(expected, this))
        throw EIdException(QStringLiteral("Only one TIdAntiFreeze can exist per application."));
}

TIdAntiFreeze::~TIdAntiFreeze()
{
    TIdAntiFreeze *expected = this;
    gInstance.compare_exchange_strong(expected, nullptr);
}

TIdAntiFreeze *TIdAntiFreeze::Instance()
{
    return gInstance.load();
}

bool TIdAntiFreeze::ShouldUse()
{
    TIdAntiFreeze *instance = gInstance.load();
    QCoreApplication *app = QCoreApplication::instance();
    return instance && instance->FActive && app && QThread::currentThread() == app->thread();
}

bool TIdAntiFreeze::ServeWhenBusy()
{
    TIdAntiFreeze *instance = gInstance.load();
    return instance && !instance->FOnlyWhenIdle;
}

void TIdAntiFreeze::DoProcess()
{
    if (!ShouldUse())
        return;
    TIdAntiFreeze *instance = gInstance.load();
    if (instance->FApplicationHasPriority)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    else
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
}
