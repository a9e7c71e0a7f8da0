# The launcher's program name, in one place: the launcher is built under it, and the publisher
# refuses a game build that would ship a file of that name (a running program cannot replace itself).
set(ORVANE_LAUNCHER_NAME OrvaneLauncher)
