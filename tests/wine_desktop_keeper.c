/* Readies Wine for a whole Windows test run (scripts/test-windows.sh) and
   keeps it so until its standard input closes.
   - The audio devices: the first program of a fresh Wine prefix to ask for
     them registers each under a GUID of its own making, and two that ask at
     once each register one; the loser's device is then unknown to Wine's
     driver, and every winmm open in it fails with MMSYSERR_ERROR. Asking
     here first, alone, registers them once before any test runs.
   - The desktop: a window of its own makes this one of the desktop's users,
     so the desktop process, which ends a second after its last user, never
     ends between two tests.
   Writes "ready" to its standard output once both are done. */
#include <windows.h>
#include <mmsystem.h>

int main(void) {
  waveOutGetNumDevs();
  waveInGetNumDevs();
  HWND window = CreateWindowW(L"Message", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
  if (window == NULL) return 1;
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "ready\n", 6, &written, NULL);
  char byte;
  DWORD read = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &read, NULL) && read > 0) {
  }
  DestroyWindow(window);
  return 0;
}
