/* tests/shell/logprobe.cpp: finds the running Quillet's main window from
   another process and prints its message log, or quits the program.
     quillet_logprobe log    prints the log to standard output
     quillet_logprobe quit   sends the Quit button's command
   Exit status 1 when no Quillet window is found. */
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <string>

static const char MAIN_TITLE[] = "Quillet - b.03a";
static const int MSG_BOX_ID = 122;
static const int QUIT_BUTTON_ID = 106;

int main(int argc, char **argv)
{
    if (argc != 2 || (strcmp(argv[1], "log") != 0 && strcmp(argv[1], "quit") != 0)) {
        fprintf(stderr, "usage: quillet_logprobe log|quit\n");
        return 2;
    }
    HWND main = FindWindowA(nullptr, MAIN_TITLE);
    if (main == nullptr) {
        fprintf(stderr, "quillet_logprobe: no window \"%s\"\n", MAIN_TITLE);
        return 1;
    }
    if (strcmp(argv[1], "quit") == 0) {
        PostMessageA(main, WM_COMMAND, QUIT_BUTTON_ID, 0);
        return 0;
    }
    HWND box = GetDlgItem(main, MSG_BOX_ID);
    /* WM_GETTEXT is carried between processes by the window system. */
    LRESULT len = SendMessageA(box, WM_GETTEXTLENGTH, 0, 0);
    std::string text((size_t)len + 1, '\0');
    len = SendMessageA(box, WM_GETTEXT, (WPARAM)text.size(), (LPARAM)&text[0]);
    fwrite(text.data(), 1, (size_t)len, stdout);
    return 0;
}
