// Each step names exactly the files it touches (--files-from-raw, --no-traverse): rclone never walks
// the served tree on its own, so nothing the site does not serve is ever sent or deleted.
#include "publisher/Destination.h"

#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "publisher/Rclone.h"
#include "publisher/Store.h"

namespace fs = std::filesystem;

namespace {

// rclone's own rule: a name and a colon before any '/' is a remote, anything else a local path.
bool IsLocal(const std::string& dest) {
    size_t colon = dest.find(':');
    return colon == std::string::npos || dest.find('/') < colon;
}

RcloneCall Call(const PushOptions& options, std::vector<std::string> args) {
    RcloneCall call;
    call.args = std::move(args);
    call.configFile = options.rcloneConfig;
    return call;
}

bool Failed(const PushOptions& options, const RcloneCall& call, const char* step, std::string& error) {
    error = "push to " + options.to + " stopped while " + step + ": " + call.reason;
    return false;
}

// rclone reads the names from a file; each is sent or deleted only if it is listed there.
bool WriteList(const std::vector<std::string>& names, std::string& file) {
    char pattern[] = "/tmp/orvane-push-XXXXXX";
    int fd = ::mkstemp(pattern);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    file = pattern;
    std::ofstream out(file);
    for (const std::string& n : names) {
        out << n << "\n";
    }
    return static_cast<bool>(out.flush());
}

}  // namespace

std::string Below(const PushOptions& options, const std::string& path) {
    const std::string& to = options.to;
    return to + (to.back() == ':' || to.back() == '/' ? "" : "/") + path;
}

bool ListStored(const PushOptions& options, Sizes& listed, std::string& error) {
    RcloneCall call = Call(options, {"lsjson", "--files-only", "--no-mimetype", "--no-modtime",
                                     Below(options, "updates/blobs")});
    listed.clear();
    if (!RunRclone(call) && call.status != kRcloneNotFound) {
        return Failed(options, call, "listing its stored files", error);
    }
    nlohmann::json all = nlohmann::json::parse(call.status == 0 ? call.output : "[]", nullptr, false);
    for (const nlohmann::json& entry : all.is_array() ? all : nlohmann::json::array()) {
        if (entry.is_object() && entry.value("Name", "").size() == 64 && entry.contains("Size") &&
            entry["Size"].is_number_unsigned()) {
            listed[entry["Name"].get<std::string>()] = entry["Size"].get<uint64_t>();
        }
    }
    return all.is_array() || Failed(options, call, "reading the listing of its stored files", error);
}

bool ReadRemote(const PushOptions& options, const char* name, std::string& text, std::string& error) {
    RcloneCall call = Call(options, {"cat", Below(options, std::string("updates/") + name)});
    if (!RunRclone(call) && call.status != kRcloneNotFound) {
        return Failed(options, call, (std::string("reading its ") + name).c_str(), error);
    }
    text = call.status == 0 ? call.output : std::string();
    return true;
}

bool SendStored(const fs::path& root, const PushOptions& options, const std::vector<std::string>& names,
                uint64_t bytes, std::string& error) {
    std::string list;
    if (!WriteList(names, list)) {
        error = "cannot write the list of stored files to send in /tmp";
        return false;
    }
    RcloneCall call = Call(options, {"copy", (root / "updates" / "blobs").string(), Below(options, "updates/blobs"),
                                     "--files-from-raw", list, "--no-traverse", "--no-check-dest",
                                     "--header-upload", "Content-Type: application/octet-stream",
                                     "--header-upload", "Cache-Control: public, max-age=31536000, immutable"});
    call.progress = "sending stored files";
    call.progressTotal = bytes;
    bool ok = RunRclone(call);
    ::unlink(list.c_str());
    return ok || Failed(options, call, "sending stored files", error);
}

// Sent under a name the site does not serve, then renamed over the manifest in one step. rclone
// replaces a file by deleting it first, so a local folder's rename is our own.
bool SendManifest(const fs::path& root, const PushOptions& options, const char* name, std::string& error) {
    std::string temporary = std::string("updates/.push-") + name, target = std::string("updates/") + name;
    RcloneCall copy = Call(options, {"copyto", (root / "updates" / name).string(), Below(options, temporary),
                                     "--ignore-times", "--header-upload", "Content-Type: application/json",
                                     "--header-upload", "Cache-Control: no-cache"});
    if (!RunRclone(copy)) {
        return Failed(options, copy, (std::string("sending ") + name).c_str(), error);
    }
    if (IsLocal(options.to)) {
        // rclone flushes nothing: the stored files this manifest names, and its own bytes, reach the disk
        // before it is renamed into place, and the rename after it.
        fs::path sent = Below(options, temporary), folder = sent.parent_path();
        if (!SyncFileSystem(folder, error) || !SyncFile(sent, error)) {
            return false;
        }
        std::error_code renameError;
        fs::rename(sent, Below(options, target), renameError);
        if (renameError) {
            error = "cannot rename " + sent.string() + ": " + renameError.message();
            return false;
        }
        return SyncFolder(folder, error);
    }
    RcloneCall move = Call(options, {"moveto", Below(options, temporary), Below(options, target), "--ignore-times"});
    move.finishOnInterrupt = true;
    return RunRclone(move) || Failed(options, move, (std::string("putting ") + name + " in place").c_str(), error);
}

bool RemoveStored(const PushOptions& options, const std::vector<std::string>& names, std::string& error) {
    std::string list;
    if (!WriteList(names, list)) {
        error = "cannot write the list of stored files to delete in /tmp";
        return false;
    }
    RcloneCall call = Call(options, {"delete", Below(options, "updates/blobs"), "--files-from-raw", list, "--no-traverse"});
    bool ok = RunRclone(call);
    ::unlink(list.c_str());
    return ok || Failed(options, call, "deleting stored files", error);
}
