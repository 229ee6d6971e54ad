# The 32-bit x86 Linux build of the simulation (make build32): the same compiler with -m32, from Debian's
# g++-multilib. A loaded quav.sys (an i686 image) can only run in a 32-bit process.
# Not a cross build: the 32-bit programs run here, so the build's own tools (mcgen) run from the build.
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)
