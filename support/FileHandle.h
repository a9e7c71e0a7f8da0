#pragma once
#include <windows.h>

#include <memory>
#include <type_traits>

// A Windows handle closed on every path out of the scope that owns it.
using FileHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, decltype(&CloseHandle)>;
