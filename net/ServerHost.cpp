#include "net/ServerHost.h"

extern const wchar_t kUpdateServerHost[] = ORVANE_UPDATE_SERVER_HOST;
