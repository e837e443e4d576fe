#include "ui/help_text.h"

namespace kestrune::ui {

// clang-format off
const char HELP_TEXT[] =
    "Kestrune quick help text.\r\n"
    "-----------------------------------------------------------------------------------------"
    "------------------------\r\n"
    "\r\n"
    "Equipment:\r\n"
    "\r\n"
    "Computer with serial COM port.\r\n"
    "Serial 9-pin null-modem cable.\r\n"
    "Kestrune program.\r\n"
    "\r\n"
    "Procedure:\r\n"
    "\r\n"
    "1. Save \"Kestrune.exe\" and the download file \"sysSW.dl\" in the\r\n"
    "   same directory. Make sure that the set-top box is unplugged from\r\n"
    "   the mains and that no other program uses the chosen COM port.\r\n"
    "\r\n"
    "2. Choose COM1 or COM2 and press \"Options\" to set the right port.\r\n"
    "   Make sure that the following port settings are made in the\r\n"
    "   control panel:\r\n"
    "\t* bits/second: 19200\r\n"
    "\t* data bits: 8\r\n"
    "\t* stop bits: 1\r\n"
    "\t* parity: none\r\n"
    "\t* flow control: hardware (or maybe none)\r\n"
    "\r\n"
    "3. Press \"Open Image\" and select the file to download to the box\r\n"
    "   [typically sysSW.dl], a file created with \"imgforge\".\r\n"
    "\r\n"
    "4. Press \"Start Download\" and plug in the set top box.\r\n"
    "\r\n"
    "5. Wait about 15 minutes until the download is complete. The front\r\n"
    "   display of the set-top box shows how many percent of the\r\n"
    "   download remain.\r\n"
    "\r\n"
    "6. After the download, press \"Exit\".\r\n"
    "\r\n";
// clang-format on

} // namespace kestrune::ui
