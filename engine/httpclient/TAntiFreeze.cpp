#include "engine/httpclient/TAntiFreeze.h"
#include "engine/httpclient/EHttpException.h"

#include <QCoreApplication>
#include <QThread>

#include <atomic>

namespace {
std::atomic<TAntiFreeze *> gInstance{nullptr};
}

TAntiFreeze::TAntiFreeze(QObject *parent) : QObject(parent)
{
    TAntiFreeze *expected = nullptr;
    if (!gInstance.compare_exchange_strong(expected, this))
        throw EHttpException(QStringLiteral("Only one TAntiFreeze can exist per application."));
}

TAntiFreeze::~TAntiFreeze()
{
    TAntiFreeze *expected = this;
    gInstance.compare_exchange_strong(expected, nullptr);
}

TAntiFreeze *TAntiFreeze::Instance()
{
    return gInstance.load();
}

bool TAntiFreeze::ShouldUse()
{
    TAntiFreeze *instance = gInstance.load();
    QCoreApplication *app = QCoreApplication::instance();
    return instance && instance->FActive && app && QThread::currentThread() == app->thread();
}

bool TAntiFreeze::ServeWhenBusy()
{
    TAntiFreeze *instance = gInstance.load();
    return instance && !instance->FOnlyWhenIdle;
}

void TAntiFreeze::DoProcess()
{
    if (!ShouldUse())
        return;
    TAntiFreeze *instance = gInstance.load();
    if (instance->FApplicationHasPriority)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    else
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
}
