# Builds 32-bit x86 (i386) programs on an amd64 Debian machine through
# multiarch: the system's compilers with -m32 (gcc-multilib and
# g++-multilib give gcc and g++ their 32-bit libraries), and the libraries
# and pkg-config files of the :i386 packages in /usr/lib/i386-linux-gnu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)

# The i386 libraries only, never the amd64 ones beside them. Headers are
# shared, in /usr/include, with the few that differ under
# /usr/include/i386-linux-gnu.
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)
set(CMAKE_LIBRARY_PATH /usr/lib/i386-linux-gnu)
# pkg-config reads the i386 .pc files alone; set at every configure run,
# since CMake loads this file each time.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig)
