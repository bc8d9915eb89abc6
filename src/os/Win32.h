// <windows.h> for the Windows build's own files. Include it after the
// console's headers: windows.h makes macros of names the window layer uses as
// constants (MB_OK, IDOK, WM_USER) and of Win32 calls whose names are also
// methods of the window layer (PostMessage, MessageBox), which are undone here.
#pragma once
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#undef PostMessage
#undef MessageBox
#undef SendMessage
