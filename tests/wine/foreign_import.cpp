// A DLL and a program that imports it: what the exe checks must refuse.
#include <windows.h>

#ifdef FOREIGN_DLL
extern "C" __declspec(dllexport) int ForeignAnswer() { return 42; }
#else
extern "C" __declspec(dllimport) int ForeignAnswer();
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return ForeignAnswer(); }
#endif
