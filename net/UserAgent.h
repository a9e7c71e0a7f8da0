#pragma once

// The launcher's user agent, which fronts and their logs see; orvane-publish check sends the same.
#define ORVANE_USER_AGENT "OrvaneLauncher/0.0.1"
