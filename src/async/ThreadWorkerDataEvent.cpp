#include "async/ThreadWorkerDataEvent.h"

ThreadWorkerDataEvent::ThreadWorkerDataEvent()
    : QEvent(EventType)
{
}

ThreadWorkerDataEvent::~ThreadWorkerDataEvent() = default;
