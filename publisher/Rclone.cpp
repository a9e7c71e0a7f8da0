// rclone runs as a child in a process group of its own, so that a Ctrl-C on the terminal reaches us
// first: we stop it ourselves, except while it replaces a manifest, which must end whole.
#include "publisher/Rclone.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "publisher/ProgressLine.h"

namespace {

volatile sig_atomic_t gChild = 0, gMustFinish = 0, gPending = 0;

// rclone's log, one JSON object a line (--use-json-log): statistics and errors. Lines that are not
// JSON (the final summary, usage errors) carry a time stamp first.
void ReadLogLine(const std::string& line, RcloneCall& call, ProgressLine& progress) {
    nlohmann::json entry = nlohmann::json::parse(line, nullptr, false);
    if (entry.is_object() && entry.contains("stats") && entry["stats"].is_object() && call.progress) {
        const nlohmann::json& stats = entry["stats"];
        uint64_t done = stats.contains("bytes") && stats["bytes"].is_number_unsigned() ? stats["bytes"].get<uint64_t>() : 0;
        ShowProgress(progress, call.progress, done, call.progressTotal);
    } else if (entry.is_object() && entry.contains("level") && entry.contains("msg") && entry["msg"].is_string()) {
        std::string level = entry["level"].is_string() ? entry["level"].get<std::string>() : std::string();
        if (level == "error" || level == "critical") {
            call.reason = entry["msg"].get<std::string>();
            if (entry.contains("object") && entry["object"].is_string() && !entry["object"].get<std::string>().empty()) {
                call.reason = entry["object"].get<std::string>() + ": " + call.reason;
            }
        }
    } else if (!line.empty() && !entry.is_object()) {
        bool stamped = line.size() > 20 && line[4] == '/' && line[7] == '/' && line[13] == ':';
        call.reason = stamped ? line.substr(20) : line;
    }
}

void OneLine(std::string& text) {
    for (char& c : text) {
        c = c == '\n' || c == '\r' || c == '\t' ? ' ' : c;
    }
}

pid_t Spawn(const RcloneCall& call, int out[2], int err[2]) {
    std::vector<std::string> all = {"rclone"};
    if (!call.configFile.empty()) {
        all.insert(all.end(), {"--config", call.configFile});
    }
    all.insert(all.end(), call.args.begin(), call.args.end());
    all.insert(all.end(), {"--use-json-log", "--log-level", "NOTICE", "--stats-log-level", "NOTICE"});
    all.insert(all.end(), {"--stats", call.progress ? "1s" : "0"});
    std::vector<char*> argv;
    for (std::string& a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        // Its own group keeps a terminal's Ctrl-C from it, not a kill of ours: a push killed in CI must
        // not leave rclone writing after the lock is gone.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        int in = ::open("/dev/null", O_RDONLY);
        ::dup2(in, 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::execvp("rclone", argv.data());
        const char kMissing[] = "{\"level\":\"critical\",\"msg\":\"rclone cannot be started (is it installed?)\"}\n";
        ssize_t ignored = ::write(2, kMissing, sizeof kMissing - 1);
        (void)ignored;
        ::_exit(127);
    }
    return pid;
}

}  // namespace

bool RunRclone(RcloneCall& call) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        call.reason = std::string("cannot start rclone: ") + std::strerror(errno);
        return false;
    }
    gMustFinish = call.finishOnInterrupt;
    pid_t pid = Spawn(call, out, err);
    gChild = pid > 0 ? pid : 0;
    ::close(out[1]);
    ::close(err[1]);
    ProgressLine progress = StartProgress();
    std::string pendingLine;
    call.output.clear();
    call.reason.clear();
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    for (int open = pid > 0 ? 2 : 0; open > 0;) {
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            break;
        }
        char buffer[65536];
        for (pollfd& f : fds) {
            if (f.fd < 0 || !(f.revents & (POLLIN | POLLHUP | POLLERR))) {
                continue;
            }
            ssize_t got = ::read(f.fd, buffer, sizeof buffer);
            if (got <= 0 && !(got < 0 && errno == EINTR)) {
                ::close(f.fd);
                f.fd = -1;
                --open;
            } else if (got > 0 && &f == &fds[0]) {
                call.output.append(buffer, static_cast<size_t>(got));
            } else if (got > 0) {
                pendingLine.append(buffer, static_cast<size_t>(got));
                for (size_t end; (end = pendingLine.find('\n')) != std::string::npos; pendingLine.erase(0, end + 1)) {
                    ReadLogLine(pendingLine.substr(0, end), call, progress);
                }
            }
        }
    }
    ReadLogLine(pendingLine, call, progress);
    int status = 0;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    gChild = 0;
    gMustFinish = 0;
    call.status = pid <= 0 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    EndProgress(progress, call.status == 0);
    if (call.status != 0 && call.reason.empty()) {
        call.reason = pid <= 0 ? "cannot start rclone" : "rclone ended with status " + std::to_string(call.status);
    }
    OneLine(call.reason);
    if (gPending) {
        ::raise(SIGINT);  // the interrupt that came while a manifest was being replaced
    }
    return call.status == 0;
}

bool StopRcloneForInterrupt() {
    if (gMustFinish) {
        gPending = 1;
        return false;
    }
    if (gChild > 0) {
        ::kill(static_cast<pid_t>(gChild), SIGTERM);
    }
    return true;
}
