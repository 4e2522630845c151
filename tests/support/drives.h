// The unit reaches files only through its drives: tests that hand it host files name them as
// paths on two drives, "src:" over the source tree and "tmp:" over the temporary folder.
#pragma once

#include "platform/os/osfs_sim.h"

#include <cstdlib>
#include <filesystem>
#include <string>

namespace testsupport {

// The drive path of an absolute host path under the source tree or the temporary folder
// (installing both drives on first use), a trailing '/' kept; any other path is returned
// unchanged.
inline std::string drivePath(const std::string& hostPath) {
    static const std::string src =
        std::filesystem::weakly_canonical(getenv("VYN_SOURCE_DIR") ? getenv("VYN_SOURCE_DIR") : ".").string();
    static const std::string tmp =
        std::filesystem::weakly_canonical(std::filesystem::temp_directory_path()).string();
    static const bool installed = osfs::addDevice("src:", src) && osfs::addDevice("tmp:", tmp);
    (void)installed;
    if (hostPath.empty() || hostPath[0] != '/') return hostPath;
    const std::string p = std::filesystem::weakly_canonical(hostPath).string();
    const std::string slash = hostPath.back() == '/' ? "/" : "";
    for (const auto& [root, drive] : {std::pair{src, "src:"}, std::pair{tmp, "tmp:"}})
        if (p.compare(0, root.size(), root) == 0 && (p.size() == root.size() || p[root.size()] == '/'))
            return drive + p.substr(root.size()) + (p.size() > root.size() ? slash : "/");
    return hostPath;
}

} // namespace testsupport
