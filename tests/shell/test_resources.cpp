/* tests/shell/test_resources.cpp: the resources as the user meets them, read
   back from this program's own, which are built from the same script as the
   shipped program's: the dialogs show every control whole, the version
   record says what common/version.h says, and each event the program
   reports has its text in the message table. */
#include "../../common/platform.h"
#include "../../common/version.h"
#include "../../win32/eventlog.h"

#include <windows.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

static INT_PTR CALLBACK TemplateOnlyProc(HWND, UINT, WPARAM, LPARAM)
{
    return 0;
}

static RECT RectIn(HWND control, HWND dialog)
{
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, dialog, (POINT *)&r, 2);
    return r;
}

static bool bInside(const RECT &in, const RECT &out)
{
    return in.left >= out.left && in.top >= out.top && in.right <= out.right &&
           in.bottom <= out.bottom;
}

static bool bGroupBox(HWND control)
{
    char cls[8] = "";
    GetClassNameA(control, cls, sizeof(cls));
    return lstrcmpiA(cls, "Button") == 0 &&
           (GetWindowLongA(control, GWL_STYLE) & BS_TYPEMASK) == BS_GROUPBOX;
}

/* Each dialog as its template alone makes it: every control inside the
   client area, none on top of another but for those a group box frames,
   and an icon control showing its icon. */
TEST(Resources, DialogsShowEveryControlWhole)
{
    const struct {
        int id;
        const char *what;
    } dialogs[] = {{100, "About box"}, {101, "main window"}};
    for (const auto &d : dialogs) {
        HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(d.id), nullptr,
                                         TemplateOnlyProc, 0);
        ASSERT_NE(dialog, nullptr) << d.what;
        RECT client;
        GetClientRect(dialog, &client);
        std::vector<HWND> controls;
        for (HWND w = GetWindow(dialog, GW_CHILD); w != nullptr; w = GetWindow(w, GW_HWNDNEXT))
            controls.push_back(w);
        EXPECT_GE(controls.size(), 5u) << d.what;
        for (size_t i = 0; i < controls.size(); i++) {
            char text[64] = "";
            GetWindowTextA(controls[i], text, sizeof(text));
            RECT a = RectIn(controls[i], dialog), b, both;
            EXPECT_TRUE(bInside(a, client)) << d.what << ": \"" << text << "\" sticks out";
            if ((GetWindowLongA(controls[i], GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
                EXPECT_NE(SendMessageA(controls[i], STM_GETICON, 0, 0), 0) << d.what;
            }
            for (size_t j = i + 1; j < controls.size(); j++) {
                b = RectIn(controls[j], dialog);
                bool bFramed = (bGroupBox(controls[i]) && bInside(b, a)) ||
                               (bGroupBox(controls[j]) && bInside(a, b));
                EXPECT_TRUE(!IntersectRect(&both, &a, &b) || bFramed)
                    << d.what << ": \"" << text << "\" overlaps control " << j;
            }
        }
        if (d.id == 100) {
            EXPECT_FALSE(GetWindowLongA(dialog, GWL_STYLE) & WS_SYSMENU)
                << "no close box: the About box closes with Ok, Enter or Esc";
        }
        DestroyWindow(dialog);
    }
}

TEST(Resources, VersionIsThatOfCommonVersionH)
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof(path));
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &handle);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, info.data()));
    const struct {
        const char *name, *value;
    } values[] = {{"ProductName", QUILLET_PRODUCT},
                  {"ProductVersion", QUILLET_VERSION_TEXT},
                  {"FileVersion", QUILLET_VERSION_TEXT}};
    for (const auto &v : values) {
        std::string key = std::string("\\StringFileInfo\\040904E4\\") + v.name;
        char *text = nullptr;
        UINT len = 0;
        ASSERT_TRUE(VerQueryValueA(info.data(), key.c_str(), (void **)&text, &len)) << v.name;
        EXPECT_STREQ(text, v.value) << v.name;
    }
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", (void **)&fixed, &len));
    const DWORD high = MAKELONG(QUILLET_VERSION_MINOR, QUILLET_VERSION_MAJOR),
                low = MAKELONG(QUILLET_VERSION_BUILD, QUILLET_VERSION_PATCH);
    EXPECT_EQ(fixed->dwFileVersionMS, high);
    EXPECT_EQ(fixed->dwFileVersionLS, low);
    EXPECT_EQ(fixed->dwProductVersionMS, high);
    EXPECT_EQ(fixed->dwProductVersionLS, low);
}

/* What the program handed the event log, through its one call. */
struct Reported {
    WORD type;
    DWORD id;
    std::string text;
};
static std::vector<Reported> Events;

static BOOL WINAPI RecordEvent(HANDLE, WORD type, WORD, DWORD id, PSID, WORD strings, DWORD,
                               LPCSTR *texts, LPVOID)
{
    Events.push_back({type, id, strings == 1 ? texts[0] : "<not one string>"});
    return TRUE;
}

/* Each event goes out as its kind with the log's line, and the Event
   Viewer, given the same id from this program's message table, shows a
   text with that line in it. */
TEST(Resources, EachEventHasItsKindAndText)
{
    const struct {
        PlatEvent event;
        WORD type;
        const char *says;
    } cases[] = {
        {PEVENT_STARTED, EVENTLOG_INFORMATION_TYPE, "Quillet started."},
        {PEVENT_STOPPED, EVENTLOG_INFORMATION_TYPE, "Quillet stopped"},
        {PEVENT_PORT_FAILED, EVENTLOG_ERROR_TYPE, "could not open a port"},
        {PEVENT_HOST_LOST, EVENTLOG_WARNING_TYPE, "lost the host server"},
        {PEVENT_HOST_BACK, EVENTLOG_INFORMATION_TYPE, "host server is back"},
        {PEVENT_REFUSED, EVENTLOG_WARNING_TYPE, "another Quillet serves this host"},
        {PEVENT_FAILED, EVENTLOG_ERROR_TYPE, "ends on a failure"},
    };
    EventReportFn real = EventReport;
    EventReport = RecordEvent;
    for (const auto &c : cases)
        PlatEventLog(c.event, "- IdentListen bind failure\r\n- IndentListen LastError <10048>\r\n");
    EventReport = real;
    ASSERT_EQ(Events.size(), sizeof(cases) / sizeof(cases[0]));
    std::vector<DWORD> ids;
    for (size_t i = 0; i < Events.size(); i++) {
        SCOPED_TRACE(cases[i].says);
        EXPECT_EQ(Events[i].type, cases[i].type);
        EXPECT_EQ(Events[i].text, "- IdentListen bind failure\r\n- IndentListen LastError <10048>");
        for (DWORD id : ids)
            EXPECT_NE(Events[i].id, id);
        ids.push_back(Events[i].id);
        const char *inserts[1] = {Events[i].text.c_str()};
        char shown[512] = "";
        DWORD len = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                   GetModuleHandleA(nullptr), Events[i].id,
                                   MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), shown,
                                   sizeof(shown), (va_list *)inserts);
        ASSERT_GT(len, 0u) << "no text for id " << std::hex << Events[i].id;
        EXPECT_NE(strstr(shown, cases[i].says), nullptr) << shown;
        EXPECT_NE(strstr(shown, "\r\n- IdentListen bind failure\r\n- IndentListen LastError <10048>"), nullptr)
            << shown;
    }
}
