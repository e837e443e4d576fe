// Test-only hook DLL. The GUI driver loads it into Kestrune's main thread with
// SetWindowsHookExA(WH_CALLWNDPROC, ...), because another process cannot read a window's menu
// under Wine. It answers one registered message sent to the main window:
//   wParam  the query (1: describe the window's menu)
//   lParam  the driver's reply window
// by sending the answer back as WM_COPYDATA text. Nothing of this is in the product.

#include <string>
#include <windows.h>

namespace {

constexpr WPARAM QUERY_MENU = 1;

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
        if (message->message == query && message->wParam == QUERY_MENU) {
            reply(message->hwnd, reinterpret_cast<HWND>(message->lParam),
                  describeMenu(GetMenu(message->hwnd)));
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
