/* tests/shell/test_resources.cpp: the compiled dialog templates, menu, icon
   and version record, read back from this program's own resources, which
   are built from the same script as the shipped program's. */
#include <windows.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

/* A control as its template lays it down. */
struct Item {
    DWORD style;
    int id;
    int classAtom; /* 0x80 button, 0x81 edit, 0x82 static */
    std::string text;
    short x = 0, y = 0, cx = 0, cy = 0; /* read back for the layout, not compared */

    bool operator==(const Item &o) const
    {
        return style == o.style && id == o.id && classAtom == o.classAtom && text == o.text;
    }
};

static void PrintTo(const Item &i, std::ostream *os)
{
    *os << "{" << std::hex << "0x" << i.style << std::dec << ", " << i.id << ", " << i.classAtom
        << ", \"" << i.text << "\"}";
}

struct Template {
    DWORD style;
    DWORD exStyle;
    short x, y, cx, cy;
    std::string title;
    int fontPoints; /* -1 when the template names no font */
    std::string font;
    std::vector<Item> items;
};

/* Reads a NUL-terminated UTF-16 text of ASCII characters. */
static std::string ReadText(const WORD *&p)
{
    std::string text;
    while (*p != 0)
        text += (char)*p++;
    p++;
    return text;
}

/* A field that is empty, a number after 0xFFFF, or a text. */
static std::string ReadNameOrOrdinal(const WORD *&p, int *ordinal)
{
    *ordinal = -1;
    if (*p == 0xFFFF) {
        *ordinal = p[1];
        p += 2;
        return "";
    }
    return ReadText(p);
}

static const WORD *AlignToDword(const WORD *p)
{
    return (const WORD *)(((uintptr_t)p + 3) & ~(uintptr_t)3);
}

static Template LoadTemplate(int id)
{
    HMODULE self = GetModuleHandleA(nullptr);
    HRSRC found = FindResourceA(self, MAKEINTRESOURCEA(id), (LPCSTR)RT_DIALOG);
    EXPECT_NE(found, nullptr);
    const DLGTEMPLATE *dlg = (const DLGTEMPLATE *)LockResource(LoadResource(self, found));
    Template t;
    t.style = dlg->style;
    t.exStyle = dlg->dwExtendedStyle;
    t.x = dlg->x;
    t.y = dlg->y;
    t.cx = dlg->cx;
    t.cy = dlg->cy;
    const WORD *p = (const WORD *)(dlg + 1);
    int ordinal;
    EXPECT_EQ(ReadNameOrOrdinal(p, &ordinal), "") << "no menu";
    EXPECT_EQ(ReadNameOrOrdinal(p, &ordinal), "") << "the standard dialog class";
    t.title = ReadText(p);
    t.fontPoints = -1;
    if (t.style & DS_SETFONT) {
        t.fontPoints = *p++;
        t.font = ReadText(p);
    }
    for (int i = 0; i < dlg->cdit; i++) {
        p = AlignToDword(p);
        const DLGITEMTEMPLATE *it = (const DLGITEMTEMPLATE *)p;
        Item item;
        item.style = it->style;
        EXPECT_EQ(it->dwExtendedStyle, 0u);
        item.x = it->x;
        item.y = it->y;
        item.cx = it->cx;
        item.cy = it->cy;
        item.id = (short)it->id;
        p = (const WORD *)(it + 1);
        ReadNameOrOrdinal(p, &item.classAtom);
        int textOrdinal;
        item.text = ReadNameOrOrdinal(p, &textOrdinal);
        WORD extra = *p++;
        p = (const WORD *)((const BYTE *)p + extra);
        t.items.push_back(item);
    }
    return t;
}

static const int BUTTON = 0x80, EDIT = 0x81, STATIC = 0x82;

static bool bInside(const Item &inner, const Item &outer)
{
    return inner.x >= outer.x && inner.y >= outer.y && inner.x + inner.cx <= outer.x + outer.cx &&
           inner.y + inner.cy <= outer.y + outer.cy;
}

/* What the user sees of the layout: every control inside the window, and
   no two on top of each other, but for those a group box frames. */
static void ExpectLaidOut(const Template &t)
{
    const Item window = {0, 0, 0, "", 0, 0, t.cx, t.cy};
    for (size_t i = 0; i < t.items.size(); i++) {
        const Item &a = t.items[i];
        EXPECT_TRUE(bInside(a, window)) << "outside the window: " << a.text << " " << a.id;
        for (size_t j = i + 1; j < t.items.size(); j++) {
            const Item &b = t.items[j];
            bool bGroup =
                ((a.style & 0xF) == BS_GROUPBOX && a.classAtom == BUTTON && bInside(b, a)) ||
                ((b.style & 0xF) == BS_GROUPBOX && b.classAtom == BUTTON && bInside(a, b));
            bool bApart =
                a.x + a.cx <= b.x || b.x + b.cx <= a.x || a.y + a.cy <= b.y || b.y + b.cy <= a.y;
            EXPECT_TRUE(bApart || bGroup)
                << a.id << " \"" << a.text << "\" overlaps " << b.id << " \"" << b.text << "\"";
        }
    }
}

TEST(Resources, MainWindowTemplate)
{
    Template t = LoadTemplate(101);
    EXPECT_EQ(t.style, 0x90CF00C0u);
    EXPECT_EQ(t.exStyle, 0u);
    EXPECT_EQ(t.x, 39);
    EXPECT_EQ(t.y, 4);
    EXPECT_EQ(t.cx, 400);
    EXPECT_EQ(t.cy, 250);
    EXPECT_EQ(t.title, "Quillet - b.03a");
    EXPECT_EQ(t.fontPoints, 8);
    EXPECT_EQ(t.font, "MS Sans Serif");
    std::vector<Item> expected = {
        {0x50010000, 106, BUTTON, "&Quit"},
        {0x50020000, -1, STATIC, "Ident Messages"},
        {0x50000007, 107, BUTTON, "Statistics"},
        {0x50010000, 1008, BUTTON, "&Help"},
        {0x50010000, 116, BUTTON, "&About"},
        {0x508108C4, 122, EDIT, ""},
        {0x50020000, 1010, STATIC, "Client Quits"},
        {0x50020000, 1009, STATIC, "Client Connects"},
        {0x50020000, 1011, STATIC, "Server Requests"},
        {0x50010880, 1009, EDIT, ""},
        {0x50010880, 1017, EDIT, ""},
        {0x50010880, 1018, EDIT, ""},
        {0x50010000, 128, BUTTON, "Hide"},
    };
    EXPECT_EQ(t.items, expected);
    ExpectLaidOut(t);
}

TEST(Resources, AboutBoxTemplate)
{
    Template t = LoadTemplate(100);
    EXPECT_EQ(t.style, 0x90C00000u) << "no system menu, no close box, the system font";
    EXPECT_EQ(t.x, 20);
    EXPECT_EQ(t.y, 20);
    EXPECT_EQ(t.cx, 160);
    EXPECT_EQ(t.cy, 80);
    EXPECT_EQ(t.title, "Quillet - About");
    EXPECT_EQ(t.fontPoints, -1);
    std::vector<Item> expected = {
        {0x50020001, -1, STATIC, "Quillet"},
        {0x50020001, -1, STATIC, "Beta b.03a - 14 January 2000"},
        {0x50000003, -1, STATIC, "quillet.ico"},
        {0x50020001, -1, STATIC, "IDENTD Server for WINS"},
        {0x50010000, 1, BUTTON, "&Ok"},
    };
    EXPECT_EQ(t.items, expected);
    ExpectLaidOut(t);
}

TEST(Resources, TrayMenu)
{
    HMENU bar = LoadMenuA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(1014));
    ASSERT_NE(bar, nullptr);
    ASSERT_EQ(GetMenuItemCount(bar), 1);
    char text[32] = "";
    GetMenuStringA(bar, 0, text, sizeof(text), MF_BYPOSITION);
    EXPECT_STREQ(text, "Popup");
    HMENU popup = GetSubMenu(bar, 0);
    ASSERT_EQ(GetMenuItemCount(popup), 4);
    const struct {
        UINT id;
        const char *text;
    } items[] = {{1016, "&About"}, {1012, "&Restore"}, {0, ""}, {1013, "&Quit"}};
    for (int i = 0; i < 4; i++) {
        GetMenuStringA(popup, i, text, sizeof(text), MF_BYPOSITION);
        EXPECT_EQ(GetMenuItemID(popup, i), items[i].id) << i;
        EXPECT_STREQ(text, items[i].text) << i;
    }
    EXPECT_TRUE(GetMenuState(popup, 2, MF_BYPOSITION) & MF_SEPARATOR);
    DestroyMenu(bar);
}

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST(Resources, TrayIconIsOne32By32SixteenColourImage)
{
    HMODULE self = GetModuleHandleA(nullptr);
    HRSRC found = FindResourceA(self, MAKEINTRESOURCEA(127), (LPCSTR)RT_GROUP_ICON);
    ASSERT_NE(found, nullptr);
    const WORD *dir = (const WORD *)LockResource(LoadResource(self, found));
    EXPECT_EQ(dir[1], 1) << "an icon";
    ASSERT_EQ(dir[2], 1) << "one image";
    const GroupIconEntry *entry = (const GroupIconEntry *)(dir + 3);
    EXPECT_EQ(entry->width, 32);
    EXPECT_EQ(entry->height, 32);
    EXPECT_EQ(entry->colours, 16);
    EXPECT_EQ(entry->bitCount, 4);

    HICON icon = LoadIconA(self, MAKEINTRESOURCEA(127));
    ASSERT_NE(icon, nullptr);
    ICONINFO info;
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP colour;
    ASSERT_TRUE(GetObjectA(info.hbmColor, sizeof(colour), &colour));
    EXPECT_EQ(colour.bmWidth, 32);
    EXPECT_EQ(colour.bmHeight, 32);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);

    /* The About box's icon control names its icon by file name. */
    EXPECT_NE(LoadIconA(self, "quillet.ico"), nullptr);
}

TEST(Resources, VersionNamesTheProductAndItsVersion)
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
    } values[] = {{"ProductName", "Quillet"},
                  {"ProductVersion", "b.03a"},
                  {"FileVersion", "b.03a"},
                  {"FileDescription", "IDENTD Server for WINS"},
                  {"OriginalFilename", "quillet.exe"}};
    for (const auto &v : values) {
        std::string key = std::string("\\StringFileInfo\\040904E4\\") + v.name;
        char *text = nullptr;
        UINT len = 0;
        ASSERT_TRUE(VerQueryValueA(info.data(), key.c_str(), (void **)&text, &len)) << v.name;
        EXPECT_STREQ(text, v.value) << v.name;
    }
}
