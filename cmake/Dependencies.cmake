# The libraries the program is built on, all from Debian packages (scripts/setup).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(CURL REQUIRED)
pkg_check_modules(APR REQUIRED IMPORTED_TARGET apr-1)
pkg_check_modules(APRUTIL REQUIRED IMPORTED_TARGET apr-util-1)
pkg_check_modules(MXML REQUIRED IMPORTED_TARGET mxml)
pkg_check_modules(SDL2 REQUIRED IMPORTED_TARGET sdl2)
# The window icon goes on the X window directly: SDL gives it only one size.
find_package(X11 REQUIRED)
pkg_check_modules(FREETYPE REQUIRED IMPORTED_TARGET freetype2)
pkg_check_modules(FONTCONFIG REQUIRED IMPORTED_TARGET fontconfig)
pkg_check_modules(LIBJPEG REQUIRED IMPORTED_TARGET libjpeg)
pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
