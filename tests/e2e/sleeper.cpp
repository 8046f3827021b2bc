// A stand-in downloader that keeps running: the end-to-end tests install it
// as "dw_dlr.exe" to play a downloader still running from an earlier run,
// which the next run can neither delete nor overwrite.
//
// It announces each start on the named event kSleeperReadyEvent (when the
// test made one) and ends when the test sets kSleeperReleaseEvent, or after
// two minutes should the test have died.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, L"launcher_e2e_sleeper_release");
  HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"launcher_e2e_sleeper_ready");
  if (ready) {
    SetEvent(ready);
    CloseHandle(ready);
  }
  if (release) {
    WaitForSingleObject(release, 120000);
    CloseHandle(release);
  }
  return 0;
}
