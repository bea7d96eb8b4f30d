/* An outside program calling ferrule: it loads the library at run time,
   looks the exports up by name and calls them. The README shows it. */
#include "../../ferrule/ferrule.h"

#include <stdio.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
static HMODULE hLib;
static int OpenFerrule(void)
{
    hLib = LoadLibraryA("ferrule.dll");
    return hLib != NULL;
}
static void *FindExport(const char *name)
{
    return (void *)GetProcAddress(hLib, name);
}
static void CloseFerrule(void)
{
    FreeLibrary(hLib);
}
#else
#include <dlfcn.h>
static void *hLib;
static int OpenFerrule(void)
{
    hLib = dlopen("libferrule.so", RTLD_NOW);
    return hLib != NULL;
}
static void *FindExport(const char *name)
{
    return dlsym(hLib, name);
}
static void CloseFerrule(void)
{
    dlclose(hLib);
}
#endif

int main(void)
{
    qvGetDLLVersionProc pGetDLLVersion;
    qvValidNameProc pValidChannelName, pValidServerName;
    qvMemCpyProc pMemCpy;
    char buf[] = "abcdef";
    int bOk;

    if (!OpenFerrule()) {
        fprintf(stderr, "ferrule cannot be loaded\n");
        return 1;
    }
    pGetDLLVersion = (qvGetDLLVersionProc)FindExport("_qvGetDLLVersion");
    pValidChannelName = (qvValidNameProc)FindExport("_qvIRC_bValidChannelName");
    pValidServerName = (qvValidNameProc)FindExport("_qvIRC_bValidServerName");
    pMemCpy = (qvMemCpyProc)FindExport("_qvMemCpy");
    if (!pGetDLLVersion || !pValidChannelName || !pValidServerName || !pMemCpy) {
        fprintf(stderr, "ferrule lacks an export\n");
        return 1;
    }

    pMemCpy(buf + 2, buf, 4); /* overlapping: buf becomes "ababcd" */
    printf("version %d, #quillet %d, irc.example.net %d, %s\n", pGetDLLVersion(),
           pValidChannelName("#quillet"), pValidServerName("irc.example.net"), buf);
    bOk = pGetDLLVersion() == 1 && pValidChannelName("#quillet") == 1 &&
          pValidServerName("irc.example.net") == 1 && pValidServerName("localhost") == 0 &&
          strcmp(buf, "ababcd") == 0;
    CloseFerrule();
    return bOk ? 0 : 1;
}
