// Facts that the launcher's code, its resource script and its build share,
// each written once. The resource script and the C++ code include this
// file; CMake reads the definitions below (one per line, in this form) and
// hands them to the build's tools and scripts. Only #define lines: windres
// runs this through the C preprocessor too.
#pragma once

// The payload resource: identifier and type (a bare word, as the resource
// script names types; LAUNCHER_WIDE_NAME turns it into a string for Win32).
#define LAUNCHER_PAYLOAD_ID 129
#define LAUNCHER_PAYLOAD_TYPE ZIP

// Below the local application-data folder; ends with a backslash.
#define LAUNCHER_INSTALL_SUFFIX L"\\selvane\\downloader\\tarnis\\"

// The top-level item the launcher starts after unpacking.
#define LAUNCHER_DOWNLOADER_NAME L"dw_dlr.exe"

// Units of every path buffer, the terminator included (MAX_PATH): the
// longest path the plain Win32 file calls take, and the longest item name.
#define LAUNCHER_PATH_SIZE 260

// Unix time of every time stamp in the demo payload, so that the build
// stays reproducible (2018-08-06 06:22:46 UTC).
#define LAUNCHER_DEMO_PAYLOAD_TIME 1533536566

#define LAUNCHER_WIDE_NAME_(word) L## #word
#define LAUNCHER_WIDE_NAME(word) LAUNCHER_WIDE_NAME_(word)
