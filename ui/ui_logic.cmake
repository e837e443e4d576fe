# The window's portable logic: built for the Windows program and, natively, for its tests.
if(NOT TARGET kestrune_ui_logic)
  add_library(kestrune_ui_logic STATIC ${KESTRUNE_ROOT}/ui/window_logic.cpp
                                       ${KESTRUNE_ROOT}/ui/help_text.cpp
                                       ${KESTRUNE_ROOT}/ui/window_reporter.cpp)
  target_link_libraries(kestrune_ui_logic PUBLIC kestrune_session)
endif()
