/* common/version.h: the product's name and version, read by the code, by
   shell/quillet.rc and by CMake. Preprocessor lines only, so that windres
   and CMake's file(STRINGS) can read it: keep one #define per line. */
#ifndef QUILLET_VERSION_H
#define QUILLET_VERSION_H

#define QUILLET_PRODUCT "Quillet"

/* The version as the program shows it, and as release files are named. */
#define QUILLET_VERSION_TEXT "b.03a"

/* The same release as four numbers, for the version resource and
   installers: major, minor, patch, build. */
#define QUILLET_VERSION_MAJOR 0
#define QUILLET_VERSION_MINOR 3
#define QUILLET_VERSION_PATCH 0
#define QUILLET_VERSION_BUILD 1

/* The release's date, shown in the About box. */
#define QUILLET_RELEASE_DATE "14 January 2000"

/* The name of the mutex that keeps a second desktop Quillet from starting,
   under Global\ or Local\; the installer looks for it too. */
#define QUILLET_INSTANCE_MUTEX "Quillet.OnePerHost"

/* The window's and the tray's title, and the log's first line. */
#define QUILLET_TITLE QUILLET_PRODUCT " - " QUILLET_VERSION_TEXT

#endif
