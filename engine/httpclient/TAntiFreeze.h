#pragma once

#include <QObject>

// Keeps the GUI alive while the HTTP client blocks: when one is active and the client runs on
// the GUI thread, the client cuts its waits into short steps and serves the Qt event queue
// between them. At most one may exist in the program.
class TAntiFreeze : public QObject
{
    Q_OBJECT

public:
    // Throws EHttpException when another one exists.
    explicit TAntiFreeze(QObject *parent = nullptr);
    ~TAntiFreeze() override;

    bool Active() const { return FActive; }
    void setActive(bool value) { FActive = value; }
    // true: serve every pending event; false: at most the events already waiting, briefly.
    bool ApplicationHasPriority() const { return FApplicationHasPriority; }
    void setApplicationHasPriority(bool value) { FApplicationHasPriority = value; }
    // Longest single wait, in milliseconds, before the queue is served.
    int IdleTimeOut() const { return FIdleTimeOut; }
    void setIdleTimeOut(int value) { FIdleTimeOut = value > 0 ? value : 1; }
    // true: a wait step that found data goes on without serving the queue.
    bool OnlyWhenIdle() const { return FOnlyWhenIdle; }
    void setOnlyWhenIdle(bool value) { FOnlyWhenIdle = value; }

    static TAntiFreeze *Instance();
    // An active one exists and the caller runs on the application's (GUI) thread.
    static bool ShouldUse();
    // Serves the event queue when ShouldUse().
    static void DoProcess();
    // Whether a wait step that found data should serve the queue too.
    static bool ServeWhenBusy();

private:
    bool FActive = true;
    bool FApplicationHasPriority = true;
    int FIdleTimeOut = 250;
    bool FOnlyWhenIdle = true;
};
