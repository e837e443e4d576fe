# A header-only Debian library for both builds. The cross build must not see the rest of
# /usr/include, so its headers are reached through a folder of the build that holds only the
# library's own folder (a symbolic link).
#   kestrune_system_headers(VAR HEADER)   e.g. kestrune_system_headers(dir CLI/CLI.hpp)
# sets VAR to the folder to add as a SYSTEM include directory.
function(kestrune_system_headers var header)
  get_filename_component(top ${header} DIRECTORY)
  string(MAKE_C_IDENTIFIER ${top} name)
  find_path(KESTRUNE_${name}_DIR ${header} PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  set(link ${CMAKE_BINARY_DIR}/system-headers/${name})
  if(NOT EXISTS ${link}/${header})
    file(MAKE_DIRECTORY ${link})
    file(CREATE_LINK ${KESTRUNE_${name}_DIR}/${top} ${link}/${top} SYMBOLIC)
  endif()
  set(${var} ${link} PARENT_SCOPE)
endfunction()
