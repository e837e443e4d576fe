# A static libsodium for the Windows programs, built from Debian's source of the same release as
# the native package (1.0.18): the orig tarball from Debian's archive (its configure made by
# autogen.sh: autoconf, automake and libtool), checked against the
# SHA-256 of Debian's libsodium_1.0.18-1.dsc, configured for MinGW-w64 without a DLL. The result
# is linked into kestrune-cli.exe, which stays one file importing only system DLLs.
include(ExternalProject)
set(KESTRUNE_SODIUM_PREFIX ${CMAKE_BINARY_DIR}/libsodium)
set(KESTRUNE_SODIUM_TARBALL
    "${KESTRUNE_ROOT}/third_party/downloads/libsodium_1.0.18.orig.tar.gz" CACHE FILEPATH
    "Debian's libsodium_1.0.18.orig.tar.gz (fetched from Debian's archive when missing)")
if(EXISTS ${KESTRUNE_SODIUM_TARBALL})
  set(KESTRUNE_SODIUM_URL ${KESTRUNE_SODIUM_TARBALL})
else()
  set(KESTRUNE_SODIUM_URL
      http://deb.debian.org/debian/pool/main/libs/libsodium/libsodium_1.0.18.orig.tar.gz)
endif()
# Through ccache where the build has it (CMakeLists.txt): on a machine that built it before, its
# make takes seconds, not the minute and a half of compiling sodium again.
set(KESTRUNE_SODIUM_CC x86_64-w64-mingw32-gcc)
if(KESTRUNE_CCACHE)
  set(KESTRUNE_SODIUM_CC "${KESTRUNE_CCACHE} ${KESTRUNE_SODIUM_CC}")
endif()
ExternalProject_Add(
  libsodium_mingw
  URL ${KESTRUNE_SODIUM_URL}
  URL_HASH SHA256=d59323c6b712a1519a5daf710b68f5e7fde57040845ffec53850911f10a5d4f4
  DOWNLOAD_EXTRACT_TIMESTAMP ON
  PREFIX ${KESTRUNE_SODIUM_PREFIX}
  # Debian's orig tarball is the release's tagged source, without a generated configure.
  PATCH_COMMAND cd <SOURCE_DIR> && ./autogen.sh -s
  # --enable-minimal: the programs use Ed25519 verification, BLAKE2b, randombytes and base64,
  # all in sodium's core; the rest would only lengthen its build on every fresh machine.
  CONFIGURE_COMMAND
    <SOURCE_DIR>/configure --host=x86_64-w64-mingw32 --disable-shared --enable-static
    --enable-minimal --disable-ssp --disable-dependency-tracking --prefix=<INSTALL_DIR> CFLAGS=-O2
    "CC=${KESTRUNE_SODIUM_CC}"
  BUILD_COMMAND make -j2
  INSTALL_COMMAND make install
  BUILD_BYPRODUCTS <INSTALL_DIR>/lib/libsodium.a)
file(MAKE_DIRECTORY ${KESTRUNE_SODIUM_PREFIX}/include)
add_library(kestrune_sodium INTERFACE)
add_dependencies(kestrune_sodium libsodium_mingw)
target_include_directories(kestrune_sodium SYSTEM INTERFACE ${KESTRUNE_SODIUM_PREFIX}/include)
# Static: no dllimport in sodium's headers.
target_compile_definitions(kestrune_sodium INTERFACE SODIUM_STATIC)
target_link_libraries(kestrune_sodium INTERFACE ${KESTRUNE_SODIUM_PREFIX}/lib/libsodium.a
                                                advapi32)
