#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "publisher/Store.h"

bool CreateServedFolders(const std::filesystem::path& folder, std::string& error) {
    std::filesystem::path made;
    for (const std::filesystem::path& part : folder) {
        made /= part;
        // mkdir's mode passes through the umask; chmod's does not.
        if (::mkdir(made.c_str(), kServedFolderMode) == 0 ? ::chmod(made.c_str(), kServedFolderMode) != 0 : errno != EEXIST) {
            error = "cannot create " + made.string() + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}
