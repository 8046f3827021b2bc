// Texts of the trace lines the loader writes to standard output. Nobody sees
// them unless the output is redirected; support reads them from there.
#pragma once

#define TRACE_NO_LOCAL_FOLDER "Get Local Path Failed LastErrorID:%u"  // narrow, no line end
#define TRACE_DIR_TOO_LONG L"Install directory too long:%s%s\n"
#define TRACE_DIR L"dir:%s\n"
#define TRACE_EXTRACT L"CLoader::Extract()\n"
#define TRACE_DELETE_FAILED L"DeleteFile(%s)=%d\n"
#define TRACE_UNZIP_ITEM L"UnZipItem(%s)=%p\n"
#define TRACE_CHECK L"CLoader::Check()\n"
#define TRACE_CHECK_FILE L"CheckFile(%s)=%d\n"
#define TRACE_START L"CLoader::Start()\n"
#define TRACE_SHELL_EXECUTE L"ShellExecute:%s\n"
#define TRACE_NOT_FINISHED L"zip file extract is not finished."  // no line end
#define TRACE_ITEM_INFO_FAILED L"GetZipItemInfo(%d)=%p\n"
#define TRACE_UNSAFE_NAME L"Unsafe name:%s\n"
#define TRACE_PATH_TOO_LONG L"Path too long:%s\n"
#define TRACE_NOT_A_FILE L"Not a file:%s\n"
#define TRACE_ANOTHER_RUN L"Another run is busy:%s\n"
#define TRACE_BROKEN_FILE_KEPT L"Broken file kept:%s\n"
