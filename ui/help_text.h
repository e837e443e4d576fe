#pragma once

namespace kestrune::ui {

// The Help dialog's text: CR LF line ends, TAB-indented bullets, two CR LF pairs at the end.
extern const char HELP_TEXT[];

} // namespace kestrune::ui
