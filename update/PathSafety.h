#pragma once
#include <string>

// Built for the launcher and for the publisher alike: what one refuses, the other never writes.

// True when a relative path from the server stays inside the installation folder and names only
// files: not rooted, no colon, no zero, no ".." left after lexical normalisation, and no element
// that Windows takes for a device.
bool IsSafeRelativePath(const std::wstring& relativePath);
// True for a name Windows opens as a device wherever it stands: CON, PRN, AUX, NUL, COM0-9, LPT0-9
// (also with ¹ ² ³), CONIN$ and CONOUT$, in any letter case, with any extension, and with blanks or
// dots before the extension.
bool IsReservedDeviceName(const std::wstring& element);
// True when the path's first element, as Windows resolves it (blanks and dots at its end dropped, letter
// case ignored), is one of the launcher's own files beside the game (its records, its log, its program)
// or the ".download" of one: neither a file nor a folder of a build may stand there, and no update
// may delete one.
bool IsLauncherOwnPath(const std::wstring& relativePath);
