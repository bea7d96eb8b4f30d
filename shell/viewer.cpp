/* shell/viewer.cpp: quillet.exe started while the Quillet service runs.
   It serves nothing and holds no lock: its window is the service's, showing
   the service's kept log of the day as it grows and, in the status bar,
   the service's state. Quit closes the window only. */
#include "shell.h"

#include "resource.h"
#include "../common/keptlog.h"
#include "../common/platform.h"
#include "../common/version.h"

#include <shlobj.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>
#include <time.h>

const char QUILLET_SERVICE_NAME[] = "Quillet";

/* How often the window looks at the file and the service's state. */
static const UINT VIEW_REFRESH_MS = 500;

/* The most of the file shown at the start, and taken at each look. */
static const long VIEW_TAIL_BYTES = 64 * 1024;

int bViewerMode = 0;

static char sViewDir[MAX_PATH];
static std::string sViewFile;
static long iViewShown = 0;

int DefaultLogDir(char *dir, int size)
{
    char common[MAX_PATH];
    if (SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, common) != S_OK)
        return -1;
    int n = snprintf(dir, (size_t)size, "%s\\" QUILLET_PRODUCT "\\Logs", common);
    return n > 0 && n < size ? 0 : -1;
}

int ServiceLogDir(const char *command, char *dir, int size)
{
    /* Split as the C runtime splits the service's own command line. */
    int wideLen = MultiByteToWideChar(CP_ACP, 0, command, -1, nullptr, 0);
    if (wideLen <= 0)
        return -1;
    std::wstring wide((size_t)wideLen, L'\0');
    MultiByteToWideChar(CP_ACP, 0, command, -1, &wide[0], wideLen);
    int argc = 0;
    LPWSTR *wideArgs = CommandLineToArgvW(wide.c_str(), &argc);
    if (wideArgs == nullptr)
        return -1;
    std::vector<std::string> args((size_t)argc);
    std::vector<const char *> argv((size_t)argc);
    for (int i = 0; i < argc; i++) {
        int len = WideCharToMultiByte(CP_ACP, 0, wideArgs[i], -1, nullptr, 0, nullptr, nullptr);
        args[i].assign(len > 0 ? (size_t)len : 1, '\0');
        WideCharToMultiByte(CP_ACP, 0, wideArgs[i], -1, &args[i][0], len, nullptr, nullptr);
        argv[i] = args[i].c_str();
    }
    LocalFree(wideArgs);
    Switches sw;
    char error[256];
    if (ReadSwitches(argc, argv.data(), &sw, error, sizeof(error)) != 0)
        return -1;
    int n = snprintf(dir, (size_t)size, "%s", sw.sLogDir);
    return n >= 0 && n < size ? 0 : -1;
}

/* The service's state and, into dir, its kept log's folder: the value of
   --log-dir on its command line, or the folder it takes without one. The
   state is 0 when there is no service or it cannot be asked. */
static DWORD ServiceState(char *dir, int size)
{
    DWORD state = 0;
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE svc = scm != nullptr ? OpenServiceA(scm, QUILLET_SERVICE_NAME,
                                                  SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG)
                                   : nullptr;
    SERVICE_STATUS status;
    if (svc != nullptr && QueryServiceStatus(svc, &status))
        state = status.dwCurrentState;
    if (dir != nullptr && DefaultLogDir(dir, size) != 0)
        dir[0] = '\0';
    DWORD needed = 0;
    if (dir != nullptr && svc != nullptr) {
        QueryServiceConfigA(svc, nullptr, 0, &needed);
        std::string config(needed + 1, '\0');
        QUERY_SERVICE_CONFIGA *c = (QUERY_SERVICE_CONFIGA *)&config[0];
        char named[SWITCH_DIR_SIZE];
        if (needed > 0 && QueryServiceConfigA(svc, c, needed, &needed) &&
            ServiceLogDir(c->lpBinaryPathName, named, sizeof(named)) == 0 && named[0] != '\0')
            snprintf(dir, (size_t)size, "%s", named);
    }
    if (svc != nullptr)
        CloseServiceHandle(svc);
    if (scm != nullptr)
        CloseServiceHandle(scm);
    return state;
}

int bServiceServes(void)
{
    DWORD state = ServiceState(nullptr, 0);
    return state == SERVICE_RUNNING || state == SERVICE_START_PENDING ? 1 : 0;
}

static const char *StateText(DWORD state)
{
    switch (state) {
    case SERVICE_RUNNING:
        return "Quillet service - Running";
    case SERVICE_START_PENDING:
        return "Quillet service - Starting";
    case SERVICE_STOP_PENDING:
        return "Quillet service - Stopping";
    case SERVICE_STOPPED:
        return "Quillet service - Stopped";
    default:
        return "Quillet service - Not installed";
    }
}

/* Shows what the day's file has gained since the last look, in whole
   lines; a new day starts its file from the beginning. */
static void ShowNewLines(void)
{
    char stamp[KEPT_STAMP_LEN + 1];
    KeptStamp((int64_t)time(nullptr), stamp);
    std::string file = std::string(sViewDir) + "\\quillet-" + std::string(stamp, 10) + ".log";
    bool first = sViewFile.empty();
    if (file != sViewFile) {
        sViewFile = file;
        iViewShown = 0;
    }
    FILE *f = fopen(file.c_str(), "rb");
    if (f == nullptr)
        return;
    fseek(f, 0, SEEK_END);
    long size = ftell(f);
    if (size < iViewShown)
        iViewShown = 0;
    bool skipPart = first && size > VIEW_TAIL_BYTES;
    if (skipPart)
        iViewShown = size - VIEW_TAIL_BYTES;
    long take = size - iViewShown < VIEW_TAIL_BYTES ? size - iViewShown : VIEW_TAIL_BYTES;
    std::string text((size_t)take, '\0');
    fseek(f, iViewShown, SEEK_SET);
    take = (long)fread(&text[0], 1, (size_t)take, f);
    fclose(f);
    text.resize((size_t)take);
    size_t from = skipPart ? text.find('\n') + 1 : 0;
    size_t whole = text.rfind('\n');
    if (whole == std::string::npos || from > whole)
        return;
    iViewShown += (long)whole + 1;
    MsgOut(text.substr(from, whole + 1 - from).c_str());
}

void StartViewer(HWND hwnd)
{
    ServiceState(sViewDir, sizeof(sViewDir));
    char line[MAX_PATH + 64];
    snprintf(line, sizeof(line), "- The Quillet service serves this host; its log, from %s\r\n",
             sViewDir);
    MsgOut(line);
    ViewerTick(hwnd);
    SetTimer(hwnd, IDT_VIEWER, VIEW_REFRESH_MS, nullptr);
}

void ViewerTick(HWND hwnd)
{
    (void)hwnd;
    SendMessageA(hwndStatusBar, SB_SETTEXTA, 0, (LPARAM)StateText(ServiceState(nullptr, 0)));
    ShowNewLines();
}
