/* tests/support/msgcapture.cpp: a front end for the tests, keeping what the
   core writes to its log and shows to the user. */
#include "testsupport.h"

#include <mutex>

/* Handler threads are detached and may still be logging while the test
   program exits, so the captured texts are never destroyed. */
static std::mutex CaptureLock;
static std::string &sLog = *new std::string;
static std::string &sUserErr = *new std::string;

void MsgOut(const char *text)
{
    std::lock_guard<std::mutex> hold(CaptureLock);
    sLog += text;
}

int UserErr(const char *text)
{
    std::lock_guard<std::mutex> hold(CaptureLock);
    sUserErr += text;
    sUserErr += "\n";
    return 1;
}

void FatalErr(const char *text)
{
    UserErr(text);
}

std::string CapturedLog(void)
{
    std::lock_guard<std::mutex> hold(CaptureLock);
    return sLog;
}

std::string CapturedUserErr(void)
{
    std::lock_guard<std::mutex> hold(CaptureLock);
    return sUserErr;
}

void ClearLog(void)
{
    std::lock_guard<std::mutex> hold(CaptureLock);
    sLog.clear();
    sUserErr.clear();
}

bool WaitForLog(const std::string &text, int ms)
{
    int64_t deadline = PlatTickMs() + ms;
    while (CapturedLog().find(text) == std::string::npos) {
        if (PlatTickMs() > deadline)
            return false;
        PlatSleep(5);
    }
    return true;
}
