#pragma once

// Host name of the update server, fixed when the program is linked (see CMake's UpdateServerHost).
extern const wchar_t kUpdateServerHost[];
