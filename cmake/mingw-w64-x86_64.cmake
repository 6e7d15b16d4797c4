# Cross-compiles for 64-bit Windows with mingw-w64's posix thread model (the
# win32 model has no std::thread or std::mutex).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(OSTREL_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${OSTREL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${OSTREL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${OSTREL_MINGW_TRIPLE}-windres)

# The third-party libraries come from scripts/build-windows-deps.sh; its
# prefix is read from OSTREL_WINDOWS_DEPS (cache or environment), else from
# the link the script keeps in its default cache folder.
if(NOT OSTREL_WINDOWS_DEPS)
  if(DEFINED ENV{OSTREL_WINDOWS_DEPS})
    set(OSTREL_WINDOWS_DEPS "$ENV{OSTREL_WINDOWS_DEPS}")
  elseif(DEFINED ENV{OSTREL_WINDOWS_DEPS_CACHE})
    set(OSTREL_WINDOWS_DEPS "$ENV{OSTREL_WINDOWS_DEPS_CACHE}/windows-deps")
  else()
    set(OSTREL_WINDOWS_DEPS "/var/cache/ostrel/windows-deps")
  endif()
endif()
get_filename_component(OSTREL_WINDOWS_DEPS "${OSTREL_WINDOWS_DEPS}" REALPATH)
set(OSTREL_WINDOWS_DEPS "${OSTREL_WINDOWS_DEPS}" CACHE PATH "Prefix of the cross-built Windows libraries")

set(CMAKE_FIND_ROOT_PATH /usr/${OSTREL_MINGW_TRIPLE} ${OSTREL_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config sees only the cross-built prefix, and static link lines.
set(ENV{PKG_CONFIG_LIBDIR} "${OSTREL_WINDOWS_DEPS}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
set(PKG_CONFIG_ARGN --static)
