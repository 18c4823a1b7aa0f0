# The ziglang package's compilers for one target, so wheels link against an old glibc (and
# build for other systems) with this machine's tools alone. `make wheel` passes ZIG (the zig
# binary), ZIG_TARGET (e.g. x86_64-linux-gnu.2.28), ZIG_TOOLS (a folder with `ar` and `ranlib`
# scripts calling zig's) and the CMake system name and processor.
set(CMAKE_C_COMPILER "${ZIG}" cc -target "${ZIG_TARGET}")
set(CMAKE_CXX_COMPILER "${ZIG}" c++ -target "${ZIG_TARGET}")
set(CMAKE_AR "${ZIG_TOOLS}/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${ZIG_TOOLS}/ranlib" CACHE FILEPATH "")
