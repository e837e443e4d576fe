// Test-only hook DLL. The GUI driver loads it into Kestrune's main thread with
// SetWindowsHookExA(WH_CALLWNDPROC, ...), because another process cannot read a window's menu
// under Wine. It answers one registered message sent to the main window:
//   wParam  the query in its low 8 bits: 1 describes the window's menu; 2 reads the colour of
//           the main window's pixel at x (bits 8-19), y (bits 20-31), as GetPixel does; 3
//           measures the text of the program's window whose handle is in the bits above 8
//   lParam  the driver's reply window
// by sending the answer back as WM_COPYDATA text. Nothing of this is in the product.

#include <cstring>
#include <string>
#include <windows.h>

namespace {

constexpr WPARAM QUERY_MENU = 1;
constexpr WPARAM QUERY_PIXEL = 2;
constexpr WPARAM QUERY_TEXT = 3;

std::string itemText(HMENU menu, UINT position) {
    char label[256] = {};
    GetMenuStringA(menu, position, label, sizeof label, MF_BYPOSITION);
    return label;
}

std::string stateText(UINT state) {
    std::string flags;
    if (state & MF_GRAYED) {
        flags += " grayed";
    }
    if (state & MF_DISABLED) {
        flags += " disabled";
    }
    if (state & MF_CHECKED) {
        flags += " checked";
    }
    return flags;
}

// One line per item: "popup LABEL", "  item ID LABEL[ flags]" or "  separator".
std::string describeMenu(HMENU bar) {
    std::string out;
    const int count = GetMenuItemCount(bar);
    for (int i = 0; i < count; ++i) {
        out += "popup " + itemText(bar, i) + "\n";
        HMENU popup = GetSubMenu(bar, i);
        const int items = popup ? GetMenuItemCount(popup) : 0;
        for (int j = 0; j < items; ++j) {
            const UINT state = GetMenuState(popup, j, MF_BYPOSITION);
            if (state & MF_SEPARATOR) {
                out += "  separator\n";
                continue;
            }
            out += "  item " + std::to_string(GetMenuItemID(popup, j)) + " " + itemText(popup, j) +
                   stateText(state) + "\n";
        }
    }
    return out;
}

// A control's text in the control's own font: "W H WW WH CW CH FACE", the extent of the text as
// written (widest line, all lines), the extent when it is wrapped at the client width (wider
// than the client when one word is), the room (an edit's formatting rectangle, any other
// control's client area) and the font's face name. A control without a font of its
// own draws in the system font.
std::string measureText(HWND control) {
    char text[4096] = {};
    GetWindowTextA(control, text, sizeof text);
    if (SendMessageA(control, WM_GETTEXTLENGTH, 0, 0) >= static_cast<LRESULT>(sizeof text)) {
        return "too long";
    }
    // Line breaks at the end draw nothing.
    for (size_t n = std::strlen(text); n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n');) {
        text[--n] = '\0';
    }
    RECT client{};
    GetClientRect(control, &client);
    char className[32] = {};
    GetClassNameA(control, className, sizeof className);
    if (lstrcmpiA(className, "Edit") == 0) {
        // An edit control writes inside its formatting rectangle: the client less the margins.
        RECT format{};
        SendMessageA(control, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&format));
        client = {0, 0, format.right - format.left, format.bottom - format.top};
    }
    HFONT font = reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0));
    HDC dc = GetDC(control);
    HGDIOBJ old = SelectObject(dc, font != nullptr ? static_cast<HGDIOBJ>(font)
                                                   : GetStockObject(SYSTEM_FONT));
    RECT plain{0, 0, 0, 0};
    DrawTextA(dc, text, -1, &plain, DT_CALCRECT | DT_EXPANDTABS);
    RECT wrapped{0, 0, client.right, 0};
    DrawTextA(dc, text, -1, &wrapped, DT_CALCRECT | DT_EXPANDTABS | DT_WORDBREAK);
    char face[LF_FACESIZE] = {};
    GetTextFaceA(dc, sizeof face, face);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    return std::to_string(plain.right) + " " + std::to_string(plain.bottom) + " " +
           std::to_string(wrapped.right) + " " + std::to_string(wrapped.bottom) + " " +
           std::to_string(client.right) + " " + std::to_string(client.bottom) + " " + face;
}

void reply(HWND from, HWND to, const std::string& text) {
    COPYDATASTRUCT data{};
    data.dwData = 1;
    data.cbData = static_cast<DWORD>(text.size() + 1);
    data.lpData = const_cast<char*>(text.c_str());
    DWORD_PTR result = 0;
    SendMessageTimeoutA(to, WM_COPYDATA, reinterpret_cast<WPARAM>(from),
                        reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG, 5000, &result);
}

} // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK
    kestruneTestHook(int code, WPARAM wParam, LPARAM lParam) {
    static const UINT query = RegisterWindowMessageA("KestruneTestQuery");
    if (code == HC_ACTION) {
        const CWPSTRUCT* message = reinterpret_cast<const CWPSTRUCT*>(lParam);
        HWND driver = reinterpret_cast<HWND>(message->lParam);
        if (message->message == query && (message->wParam & 0xFF) == QUERY_MENU) {
            reply(message->hwnd, driver, describeMenu(GetMenu(message->hwnd)));
        } else if (message->message == query && (message->wParam & 0xFF) == QUERY_PIXEL) {
            const int x = static_cast<int>((message->wParam >> 8) & 0xFFF);
            const int y = static_cast<int>((message->wParam >> 20) & 0xFFF);
            HDC dc = GetDC(message->hwnd);
            const COLORREF colour = GetPixel(dc, x, y);
            ReleaseDC(message->hwnd, dc);
            reply(message->hwnd, driver, std::to_string(colour));
        } else if (message->message == query && (message->wParam & 0xFF) == QUERY_TEXT) {
            HWND control = reinterpret_cast<HWND>(message->wParam >> 8);
            reply(message->hwnd, driver, measureText(control));
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
