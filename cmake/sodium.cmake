# libsodium, for the release signatures (Ed25519, BLAKE2b): Debian's libsodium-dev natively; the
# cross build makes a static libsodium from Debian's source (cmake/sodium-mingw.cmake), so that
# kestrune-cli.exe stays one file.
if(CMAKE_CROSSCOMPILING AND WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/sodium-mingw.cmake)
else()
  find_path(KESTRUNE_SODIUM_INCLUDE sodium.h REQUIRED)
  find_library(KESTRUNE_SODIUM_LIBRARY sodium REQUIRED)
  add_library(kestrune_sodium INTERFACE)
  target_link_libraries(kestrune_sodium INTERFACE ${KESTRUNE_SODIUM_LIBRARY})
endif()
