// The service's events as Event Viewer shows them: kestrune-cli.exe's message table gives each
// line back as the service wrote it, whatever it holds (Windows only).
#include "service_events.h"

#include <gtest/gtest.h>
#include <string>
#include <windows.h>

TEST(ServiceEvents, TheProgramsMessageTableGivesEachLineBackUnchanged) {
    const HMODULE exe = LoadLibraryExA(KESTRUNE_CLI_EXE, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(exe, nullptr) << KESTRUNE_CLI_EXE;
    // Inserts are not read again: a line's own "%1" or "%%" stays as it is.
    for (const wchar_t* line : {L"service A1: the station starts from Z:\\etc\\line 1.toml",
                                L"kestrune-cli station: line.toml:4: retries 100% %1 %%"}) {
        wchar_t out[512];
        DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>(line)};
        const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                       exe, KESTRUNE_SERVICE_EVENT, 0x409, out, 512,
                                       reinterpret_cast<va_list*>(inserts));
        ASSERT_GT(n, 0u) << GetLastError();
        EXPECT_EQ(std::wstring(out, n), std::wstring(line) + L"\r\n");
    }
    FreeLibrary(exe);
}
