/* tests/shell/probe.cpp: drives the running Quillet from another process,
   as a user or another program would reach it: through its window.
     quillet_probe log            prints the message log to standard output
     quillet_probe quit           the Quit button's command
     quillet_probe restore        the tray menu's Restore command
     quillet_probe about          the About button's command (the box opens)
     quillet_probe stats          prints the Statistics group's three counts
                                  (Client Connects, Client Quits, Server
                                  Requests) on one line
     quillet_probe shown          exit status 0 when the window is visible
     quillet_probe rect main|about
                                  prints the window's screen rectangle as
                                  X Y WIDTH HEIGHT
   Exit status 1 when the window is not found, 2 on a usage error. */
#include <windows.h>
#include <sddl.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>

static const char MAIN_TITLE[] = "Quillet - b.03a";
static const char ABOUT_TITLE[] = "Quillet - About";
static const int MSG_BOX_ID = 122;
static const WPARAM QUIT_COMMAND = 106;
static const WPARAM RESTORE_COMMAND = 1012;
static const WPARAM ABOUT_COMMAND = 116;
static const int CONNECTS_ID = 1009; /* the caption's id too */
static const int QUITS_FIELD_ID = 1017;
static const int REQUESTS_FIELD_ID = 1018;

static int Usage(void)
{
    fprintf(
        stderr,
        "usage: quillet_probe log|quit|restore|about|stats|shown|rect main|rect about|squat S\n");
    return 2;
}

static HWND Find(const char *title)
{
    HWND hwnd = FindWindowA(nullptr, title);
    if (hwnd == nullptr)
        fprintf(stderr, "quillet_probe: no window \"%s\"\n", title);
    return hwnd;
}

static int PrintLog(HWND main)
{
    HWND box = GetDlgItem(main, MSG_BOX_ID);
    /* WM_GETTEXT is carried between processes by the window system. */
    LRESULT len = SendMessageA(box, WM_GETTEXTLENGTH, 0, 0);
    std::string text((size_t)len + 1, '\0');
    len = SendMessageA(box, WM_GETTEXT, (WPARAM)text.size(), (LPARAM)&text[0]);
    fwrite(text.data(), 1, (size_t)len, stdout);
    return 0;
}

static std::string ControlText(HWND control)
{
    char text[64] = "";
    if (control != nullptr)
        SendMessageA(control, WM_GETTEXT, sizeof(text), (LPARAM)text);
    return text;
}

/* The connects field is the edit control among the two children with its
   id; the caption, which GetDlgItem would find, comes first. */
static int PrintStats(HWND main)
{
    HWND connects = nullptr;
    for (HWND c = GetWindow(main, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
        char cls[8] = "";
        GetClassNameA(c, cls, sizeof(cls));
        if (GetDlgCtrlID(c) == CONNECTS_ID && lstrcmpiA(cls, "Edit") == 0)
            connects = c;
    }
    if (connects == nullptr) {
        fprintf(stderr, "quillet_probe: no Client Connects field\n");
        return 1;
    }
    printf("%s %s %s\n", ControlText(connects).c_str(),
           ControlText(GetDlgItem(main, QUITS_FIELD_ID)).c_str(),
           ControlText(GetDlgItem(main, REQUESTS_FIELD_ID)).c_str());
    return 0;
}

/* Holds the name of Quillet's instance mutex for seconds, as another
   account's program might: owned by another account, open to it alone. */
static int Squat(int seconds)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("O:SYD:(A;;GA;;;SY)", SDDL_REVISION_1,
                                                              &sd, nullptr))
        return 1;
    SECURITY_ATTRIBUTES sa = {sizeof(sa), sd, FALSE};
    HANDLE mutex = CreateMutexA(&sa, FALSE, "Global\\Quillet.OnePerHost");
    if (mutex == nullptr)
        return 1;
    puts("squatting");
    fflush(stdout);
    Sleep((DWORD)seconds * 1000);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return Usage();
    const char *command = argv[1];
    if (strcmp(command, "squat") == 0 && argc == 3)
        return Squat(atoi(argv[2]));
    if (strcmp(command, "rect") == 0) {
        if (argc != 3 || (strcmp(argv[2], "main") != 0 && strcmp(argv[2], "about") != 0))
            return Usage();
        HWND hwnd = Find(strcmp(argv[2], "main") == 0 ? MAIN_TITLE : ABOUT_TITLE);
        RECT r;
        if (hwnd == nullptr || !GetWindowRect(hwnd, &r))
            return 1;
        printf("%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
        return 0;
    }
    if (argc != 2)
        return Usage();
    HWND main = Find(MAIN_TITLE);
    if (main == nullptr)
        return 1;
    /* Commands are posted: the About box is modal and would hold a sender. */
    if (strcmp(command, "log") == 0)
        return PrintLog(main);
    if (strcmp(command, "stats") == 0)
        return PrintStats(main);
    if (strcmp(command, "shown") == 0)
        return IsWindowVisible(main) ? 0 : 1;
    if (strcmp(command, "quit") == 0)
        return PostMessageA(main, WM_COMMAND, QUIT_COMMAND, 0) ? 0 : 1;
    if (strcmp(command, "restore") == 0)
        return PostMessageA(main, WM_COMMAND, RESTORE_COMMAND, 0) ? 0 : 1;
    if (strcmp(command, "about") == 0)
        return PostMessageA(main, WM_COMMAND, ABOUT_COMMAND, 0) ? 0 : 1;
    return Usage();
}
