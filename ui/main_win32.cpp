#include "resources/resource_ids.h"
#include "ui/win32_window.h"

using namespace kestrune::ui;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showMode) {
    win.instance = instance;

    WNDCLASSA windowClass{};
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = mainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_KESTRUNE));
    windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)); // IDC_ARROW
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
    // No menu resource bears this name: the window's menu is given explicitly below.
    windowClass.lpszMenuName = CLASS_MENU_NAME;
    windowClass.lpszClassName = WINDOW_CLASS_NAME;
    RegisterClassA(&windowClass);

    app.portChoice = PORT_CHOICE_COM1;
    const Size size = startupWindowSize();
    win.menu = LoadMenuA(instance, MAKEINTRESOURCEA(IDR_SERIAL_MENU_ID));
    HWND window = CreateWindowA(WINDOW_CLASS_NAME, MAIN_WINDOW_TITLE,
                                WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT, CW_USEDEFAULT,
                                size.width, size.height, nullptr, win.menu, instance, nullptr);
    SetMenu(window, win.menu);
    ShowWindow(window, showMode);
    UpdateWindow(window);

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (routeToOpenDialog(message)) {
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return static_cast<int>(message.wParam);
}
