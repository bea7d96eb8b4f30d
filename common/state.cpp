/* common/state.cpp: counters and the ready flag. */
#include "state.h"

#include <condition_variable>
#include <mutex>

std::atomic<int> iRcvdIdentRequests(0);
std::atomic<int> iRcvdPalaverConnects(0);
std::atomic<int> iRcvdClientConnects(0);
std::atomic<int> iRcvdClientQuits(0);

/* The flag is guarded by a mutex so that a waiter blocks on the condition
   instead of polling, and sees everything done before the flag was set. */
static int iWINSStarted = 0;
static std::mutex WINSStartedLock;
static std::condition_variable WINSStartedCond;

int bWINSStarted(void)
{
    std::lock_guard<std::mutex> hold(WINSStartedLock);
    return iWINSStarted;
}

void ClearWINSStarted(void)
{
    std::lock_guard<std::mutex> hold(WINSStartedLock);
    iWINSStarted = 0;
}

void SetWINSStarted(void)
{
    {
        std::lock_guard<std::mutex> hold(WINSStartedLock);
        iWINSStarted = 1;
    }
    WINSStartedCond.notify_all();
}

void WaitWINSStarted(void)
{
    std::unique_lock<std::mutex> hold(WINSStartedLock);
    WINSStartedCond.wait(hold, [] { return iWINSStarted == 1; });
}
