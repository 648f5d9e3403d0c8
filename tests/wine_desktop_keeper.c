/* Keeps Wine's desktop for a whole Windows test run (scripts/test-windows.sh):
   a window of its own makes it one of the desktop's users, so the desktop
   process, which ends a second after its last user, never ends between two
   tests. Waits until its standard input closes. */
#include <windows.h>

int main(void) {
  HWND window = CreateWindowW(L"Message", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
  if (window == NULL) return 1;
  char byte;
  DWORD read = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &read, NULL) && read > 0) {
  }
  DestroyWindow(window);
  return 0;
}
