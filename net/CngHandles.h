#pragma once
#include <windows.h>
#include <bcrypt.h>

#include <memory>

// CNG handles released on every path out of the scope that owns them; declare the provider first, so
// that its hashes and keys go before it.

inline void CloseProvider(BCRYPT_ALG_HANDLE provider) {
    BCryptCloseAlgorithmProvider(provider, 0);
}

using ProviderHandle = std::unique_ptr<void, decltype(&CloseProvider)>;
using HashHandle = std::unique_ptr<void, decltype(&BCryptDestroyHash)>;
using KeyHandle = std::unique_ptr<void, decltype(&BCryptDestroyKey)>;
