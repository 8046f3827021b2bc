// What the tests expect of the launcher's fixed values, written here once
// and on purpose apart from the launcher's own definitions: a test that took
// the launcher's constant would pass with a wrong one. tests/packer/expected.py
// reads the same lines for the Python tests, so only #define lines of this
// form belong here.
#pragma once

#define EXPECTED_PAYLOAD_ID 129                                   // payload resource identifier
#define EXPECTED_PAYLOAD_TYPE L"ZIP"                              // payload resource type
#define EXPECTED_INSTALL_SUFFIX L"\\selvane\\downloader\\tarnis\\"  // behind local application data
#define EXPECTED_INSTALL_FIRST_LEVEL L"\\selvane"                 // the suffix's first folder
#define EXPECTED_DOWNLOADER_NAME L"dw_dlr.exe"                    // the item the launcher starts
#define EXPECTED_PATH_SIZE 260                                    // path buffers, terminator included
#define EXPECTED_DEMO_PAYLOAD_TIME 1533536566                     // 2018-08-06 06:22:46 UTC
