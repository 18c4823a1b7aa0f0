# aarch64 Linux with Debian's cross compiler. `make check-aarch64` builds the extension with it
# against the arm64 interpreter's headers (Python_INCLUDE_DIR, Python_SOABI given there).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
