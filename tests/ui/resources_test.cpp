// The resources as compiled into Kestrune.exe: read back from the program file itself with the
// Win32 resource functions, so what windres made of the script is what is checked.

#include "kestrune/version.h"
#include "resources/resource_ids.h"

#include <cctype>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include <windows.h>

namespace {

constexpr WORD SWEDISH = MAKELANGID(LANG_SWEDISH, SUBLANG_SWEDISH);       // 0x041D
constexpr WORD US_ENGLISH = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US); // 0x0409

std::string programPath() {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string path = self;
    return path.substr(0, path.find_last_of("\\/") + 1) + "Kestrune.exe";
}

HMODULE program() {
    static HMODULE module =
        LoadLibraryExA(programPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    return module;
}

// The bytes of one resource in exactly this language, or none.
std::vector<uint8_t> resource(LPCSTR type, int id, WORD language) {
    HRSRC found = FindResourceExA(program(), type, MAKEINTRESOURCEA(id), language);
    if (found == nullptr) {
        return {};
    }
    const auto* data = static_cast<const uint8_t*>(LockResource(LoadResource(program(), found)));
    return {data, data + SizeofResource(program(), found)};
}

// A reader of dialog templates (DLGTEMPLATE and DLGTEMPLATEEX).
class Reader {
public:
    explicit Reader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    uint16_t word() {
        if (at_ + 2 > bytes_.size()) {
            ADD_FAILURE() << "dialog template ends early";
            at_ = bytes_.size();
            return 0;
        }
        const uint16_t v = uint16_t(bytes_[at_] | (bytes_[at_ + 1] << 8));
        at_ += 2;
        return v;
    }
    uint32_t dword() {
        const uint32_t low = word();
        return low | (uint32_t(word()) << 16);
    }
    int16_t coord() { return static_cast<int16_t>(word()); }
    // A string, an ordinal (as "#n") or nothing.
    std::string nameOrOrdinal() {
        const uint16_t first = word();
        if (first == 0xFFFF) {
            return "#" + std::to_string(word());
        }
        std::string text;
        for (uint16_t c = first; c != 0; c = word()) {
            text += static_cast<char>(c);
        }
        return text;
    }
    void alignDword() { at_ = (at_ + 3) & ~size_t(3); }
    void skip(size_t n) { at_ += n; }

private:
    const std::vector<uint8_t>& bytes_;
    size_t at_ = 0;
};

struct Control {
    int id;
    std::string className;
    std::string text;
    int x, y, cx, cy;
    uint32_t style;
};

struct Dialog {
    bool extended = false;
    uint32_t style = 0;
    uint32_t exStyle = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
    std::string menu;
    std::string caption;
    int pointSize = 0;
    std::string font;
    std::vector<Control> controls;
};

std::string className(const std::string& raw) {
    static const char* const predefined[] = {"button",  "edit",      "static",
                                             "listbox", "scrollbar", "combobox"};
    if (raw.size() > 1 && raw[0] == '#') {
        const int ordinal = std::stoi(raw.substr(1));
        if (ordinal >= 0x80 && ordinal <= 0x85) {
            return predefined[ordinal - 0x80];
        }
    }
    std::string lower;
    for (char c : raw) {
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

Dialog parseDialog(const std::vector<uint8_t>& bytes) {
    Dialog d;
    Reader r(bytes);
    const uint16_t first = r.word();
    const uint16_t second = r.word();
    d.extended = first == 1 && second == 0xFFFF;
    if (d.extended) {
        r.dword(); // help id
        d.exStyle = r.dword();
        d.style = r.dword();
    } else {
        d.style = first | (uint32_t(second) << 16);
        d.exStyle = r.dword();
    }
    const int count = r.word();
    d.x = r.coord();
    d.y = r.coord();
    d.cx = r.coord();
    d.cy = r.coord();
    d.menu = r.nameOrOrdinal();
    r.nameOrOrdinal(); // class
    d.caption = r.nameOrOrdinal();
    if (d.style & DS_SETFONT) {
        d.pointSize = r.word();
        if (d.extended) {
            r.skip(4); // weight, italic, charset
        }
        d.font = r.nameOrOrdinal();
    }
    for (int i = 0; i < count; ++i) {
        r.alignDword();
        Control c{};
        if (d.extended) {
            r.dword(); // help id
            r.dword(); // extended style
            c.style = r.dword();
        } else {
            c.style = r.dword();
            r.dword();
        }
        c.x = r.coord();
        c.y = r.coord();
        c.cx = r.coord();
        c.cy = r.coord();
        c.id = d.extended ? static_cast<int>(r.dword()) : static_cast<int16_t>(r.word());
        c.className = className(r.nameOrOrdinal());
        c.text = r.nameOrOrdinal();
        r.skip(r.word());
        d.controls.push_back(c);
    }
    return d;
}

Dialog dialog(int id, WORD language) {
    const auto bytes = resource(RT_DIALOG, id, language);
    EXPECT_FALSE(bytes.empty()) << "dialog " << id << " in language 0x" << std::hex << language;
    return bytes.empty() ? Dialog{} : parseDialog(bytes);
}

void expectControl(const Dialog& d, const Control& want) {
    for (const Control& c : d.controls) {
        if (c.id == want.id && c.className == want.className) {
            EXPECT_EQ(c.text, want.text) << "control " << want.id;
            EXPECT_EQ(c.x, want.x) << "control " << want.id;
            EXPECT_EQ(c.y, want.y) << "control " << want.id;
            EXPECT_EQ(c.cx, want.cx) << "control " << want.id;
            EXPECT_EQ(c.cy, want.cy) << "control " << want.id;
            EXPECT_EQ(c.style, want.style) << "control " << want.id << std::hex;
            return;
        }
    }
    ADD_FAILURE() << "no " << want.className << " control " << want.id;
}

void expectFrame(const Dialog& d, const char* caption, int x, int y, int cx, int cy, uint32_t style,
                 uint32_t exStyle) {
    EXPECT_EQ(d.caption, caption);
    EXPECT_EQ(d.x, x);
    EXPECT_EQ(d.y, y);
    EXPECT_EQ(d.cx, cx);
    EXPECT_EQ(d.cy, cy);
    EXPECT_EQ(d.style, style) << std::hex << d.style;
    EXPECT_EQ(d.exStyle, exStyle);
    EXPECT_EQ(d.pointSize, 8);
    EXPECT_EQ(d.font, "MS Sans Serif");
}

TEST(Resources, ProgramFileOpens) {
    ASSERT_NE(program(), nullptr) << programPath();
}

TEST(Resources, TestLogIsTheOnlyUsEnglishResource) {
    const Dialog log = dialog(IDD_TEST_LOG, US_ENGLISH);
    EXPECT_FALSE(log.extended);
    expectFrame(log, "Test Log", 24, 24, 460, 190, 0x10CF0040, 0);
    ASSERT_EQ(log.controls.size(), 1u);
    expectControl(log, {19, "edit", "", 228, 3, 232, 187, 0x50B101C4});
    EXPECT_TRUE(resource(RT_DIALOG, IDD_TEST_LOG, SWEDISH).empty());
    for (int id : {IDD_HELP, IDD_COM_PORT, IDD_RESTART, IDD_MAIN_FORM, IDD_DOWNLOAD}) {
        EXPECT_FALSE(resource(RT_DIALOG, id, SWEDISH).empty()) << id;
        EXPECT_TRUE(resource(RT_DIALOG, id, US_ENGLISH).empty()) << id;
    }
}

TEST(Resources, HelpDialog) {
    const Dialog help = dialog(IDD_HELP, SWEDISH);
    EXPECT_TRUE(help.extended);
    expectFrame(help, "Help", 0, 0, 241, 309, 0x80C000C0, 0x200);
    EXPECT_EQ(help.controls.size(), 2u);
    expectControl(help, {IDOK, "button", "OK", 92, 288, 50, 14,
                         WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON});
    expectControl(help, {20, "edit", "", 7, 7, 227, 279, 0x500008C4});
}

TEST(Resources, ComPortDialog) {
    const Dialog com = dialog(IDD_COM_PORT, SWEDISH);
    EXPECT_TRUE(com.extended);
    expectFrame(com, "Com port", 0, 0, 187, 77, 0x80C000C0, 0x200);
    EXPECT_EQ(com.controls.size(), 5u);
    const uint32_t child = WS_CHILD | WS_VISIBLE;
    expectControl(com, {21, "button", "Com 1", 25, 19, 36, 10,
                        child | WS_GROUP | WS_TABSTOP | BS_AUTORADIOBUTTON});
    expectControl(com,
                  {22, "button", "Com 2", 25, 32, 36, 10, child | WS_TABSTOP | BS_AUTORADIOBUTTON});
    expectControl(com,
                  {IDOK, "button", "OK", 39, 56, 50, 14, child | WS_TABSTOP | BS_DEFPUSHBUTTON});
    expectControl(
        com, {IDCANCEL, "button", "Cancel", 95, 56, 50, 14, child | WS_TABSTOP | BS_PUSHBUTTON});
    expectControl(com, {-1, "button", "Choose which com port to use on your computer.", 7, 7, 173,
                        46, child | BS_GROUPBOX});
}

TEST(Resources, RestartDialog) {
    const Dialog restart = dialog(IDD_RESTART, SWEDISH);
    EXPECT_FALSE(restart.extended);
    expectFrame(restart, "Restart the set top box.", 0, 0, 191, 47, 0x90C000C0, 0);
    EXPECT_EQ(restart.controls.size(), 2u);
    expectControl(restart, {IDOK, "button", "OK", 69, 26, 50, 14,
                            WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON});
    expectControl(restart,
                  {-1, "static", "You need to restart the set top box to start downloading.", 6, 7,
                   178, 15, WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT});
}

TEST(Resources, CarriedDialogs) {
    const Dialog form = dialog(IDD_MAIN_FORM, SWEDISH);
    EXPECT_EQ(form.caption, "Kestrune");
    EXPECT_EQ(form.menu, "#106");
    EXPECT_EQ(form.cx, 431);
    EXPECT_EQ(form.cy, 295);
    expectControl(
        form, {1005, "msctls_progress32", "", 99, 242, 242, 9, WS_CHILD | WS_VISIBLE | WS_BORDER});
    const Dialog download = dialog(IDD_DOWNLOAD, SWEDISH);
    EXPECT_EQ(download.caption, "Download");
    EXPECT_EQ(download.cx, 248);
    EXPECT_EQ(download.cy, 95);
    expectControl(download, {1003, "msctls_progress32", "", 14, 36, 217, 10,
                             WS_CHILD | WS_VISIBLE | WS_BORDER});
    expectControl(download, {IDCANCEL, "button", "Cancel", 96, 74, 50, 14,
                             WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON});
}

std::string describeMenu(HMENU bar) {
    std::string out;
    for (int i = 0; i < GetMenuItemCount(bar); ++i) {
        char label[64] = {};
        GetMenuStringA(bar, i, label, sizeof label, MF_BYPOSITION);
        out += std::string("[") + label + "]";
        HMENU popup = GetSubMenu(bar, i);
        for (int j = 0; popup && j < GetMenuItemCount(popup); ++j) {
            const UINT state = GetMenuState(popup, j, MF_BYPOSITION);
            if (state & MF_SEPARATOR) {
                out += " -";
                continue;
            }
            GetMenuStringA(popup, j, label, sizeof label, MF_BYPOSITION);
            out += " " + std::to_string(GetMenuItemID(popup, j)) + ":" + label;
            if (state & (MF_GRAYED | MF_DISABLED | MF_CHECKED)) {
                out += "(state " + std::to_string(state) + ")";
            }
        }
    }
    return out;
}

TEST(Resources, MenuHasThreePopupsWithTheCommandIds) {
    ASSERT_FALSE(resource(RT_MENU, IDR_SERIAL_MENU_ID, SWEDISH).empty());
    HMENU menu = LoadMenuA(program(), MAKEINTRESOURCEA(IDR_SERIAL_MENU_ID));
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(describeMenu(menu), "[&File] 40006:&Load image - 40005:&Exit"
                                  "[&Download] 40001:&Start download 40002:&Abort download"
                                  "[&Options] 40003:&Com port 40009:&Details 1006:Serialport info"
                                  " - 40008:&Help - 40004:&About Kestrune");
    DestroyMenu(menu);
    // The class menu name is deliberately not a resource.
    EXPECT_EQ(FindResourceA(program(), "IDR_SERIAL_MENU", RT_MENU), nullptr);
}

void expectBitmap(int id, int width, int height, int bitCount) {
    const auto bytes = resource(RT_BITMAP, id, SWEDISH);
    ASSERT_GE(bytes.size(), sizeof(BITMAPINFOHEADER)) << "bitmap " << id;
    BITMAPINFOHEADER header;
    std::memcpy(&header, bytes.data(), sizeof header);
    EXPECT_EQ(header.biWidth, width) << id;
    EXPECT_EQ(header.biHeight, height) << id;
    EXPECT_EQ(header.biBitCount, bitCount) << id;
    EXPECT_EQ(header.biCompression, static_cast<DWORD>(BI_RGB)) << id;
}

TEST(Resources, BitmapsAndIcon) {
    expectBitmap(IDB_LOGO, 86, 37, 4);
    expectBitmap(IDB_BANNER, 360, 70, 8);
    expectBitmap(IDB_DISC, 48, 48, 4);

    const auto group = resource(RT_GROUP_ICON, IDI_KESTRUNE, SWEDISH);
    ASSERT_EQ(group.size(), 6u + 14u);          // one entry
    EXPECT_EQ(group[4], 1);                     // count
    EXPECT_EQ(group[6], 32);                    // width
    EXPECT_EQ(group[7], 32);                    // height
    EXPECT_EQ(group[8], 16);                    // colours
    EXPECT_EQ(group[12], 4);                    // bits per pixel
    EXPECT_EQ(group[18] | (group[19] << 8), 1); // icon id
    EXPECT_FALSE(resource(RT_ICON, 1, SWEDISH).empty());
}

std::string versionString(const std::vector<uint8_t>& block, const char* name) {
    char* value = nullptr;
    UINT length = 0;
    const std::string key = std::string("\\StringFileInfo\\041d04b0\\") + name;
    if (!VerQueryValueA(block.data(), key.c_str(), reinterpret_cast<void**>(&value), &length)) {
        return "(missing)";
    }
    return value;
}

TEST(Resources, VersionBlock) {
    const std::string path = programPath();
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), nullptr);
    ASSERT_GT(size, 0u);
    std::vector<uint8_t> block(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    // The version configured in CMake.
    const DWORD versionMS = (KESTRUNE_VERSION_MAJOR << 16) | KESTRUNE_VERSION_MINOR;
    const DWORD versionLS = (KESTRUNE_VERSION_PATCH << 16) | KESTRUNE_VERSION_TWEAK;
    EXPECT_EQ(fixed->dwFileVersionMS, versionMS);
    EXPECT_EQ(fixed->dwFileVersionLS, versionLS);
    EXPECT_EQ(fixed->dwProductVersionMS, versionMS);
    EXPECT_EQ(fixed->dwProductVersionLS, versionLS);
    EXPECT_EQ(fixed->dwFileFlagsMask, 0x3Fu);
    EXPECT_EQ(fixed->dwFileFlags, 0u);
    EXPECT_EQ(fixed->dwFileOS, 0x40004u);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x041D);
    EXPECT_EQ(translation[1], 1200);

    const std::string text = std::to_string(KESTRUNE_VERSION_MAJOR) + ", " +
                             std::to_string(KESTRUNE_VERSION_MINOR) + ", " +
                             std::to_string(KESTRUNE_VERSION_PATCH) + ", " +
                             std::to_string(KESTRUNE_VERSION_TWEAK);
    EXPECT_EQ(versionString(block, "FileVersion"), text);
    EXPECT_EQ(versionString(block, "ProductVersion"), text);
    EXPECT_EQ(versionString(block, "FileDescription"), "Kestrune");
    EXPECT_EQ(versionString(block, "InternalName"), "Kestrune");
    EXPECT_EQ(versionString(block, "OriginalFilename"), "Kestrune.exe");
    for (const char* name : {"CompanyName", "ProductName", "LegalCopyright"}) {
        EXPECT_NE(versionString(block, name), "(missing)") << name;
        EXPECT_NE(versionString(block, name), "") << name;
    }
}

// kestrune-cli.exe, built beside Kestrune.exe, carries the same version.
TEST(Resources, CliVersionBlock) {
    std::string path = programPath();
    path = path.substr(0, path.size() - std::strlen("Kestrune.exe")) + "kestrune-cli.exe";
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), nullptr);
    ASSERT_GT(size, 0u) << path;
    std::vector<uint8_t> block(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwProductVersionMS,
              DWORD(KESTRUNE_VERSION_MAJOR << 16) | KESTRUNE_VERSION_MINOR);
    EXPECT_EQ(fixed->dwProductVersionLS,
              DWORD(KESTRUNE_VERSION_PATCH << 16) | KESTRUNE_VERSION_TWEAK);
}

} // namespace
