// Helpers shared by the XML tests: a scratch directory, files and external commands.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace xmltest {

// One scratch directory per test process, removed when the process ends (failed or not).
inline const std::string& scratchDir() {
    static const struct Dir {
        std::string path;
        Dir() {
            std::string tmpl = testing::TempDir() + "vyn_xml_XXXXXX";
            path = mkdtemp(tmpl.data()) ? tmpl + "/" : "";
        }
        ~Dir() {
            std::error_code ec;
            if (!path.empty()) std::filesystem::remove_all(path, ec);
        }
    } dir;
    return dir.path;
}

inline std::string writeFile(const std::string& name, const std::string& content) {
    std::string path = scratchDir() + name;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Standard output of a shell command; its exit status in *status.
inline std::string runCommand(const std::string& cmd, int* status = nullptr) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    const int rc = pclose(p);
    if (status) *status = rc;
    return out;
}

inline std::string sourceDir() {
    const char* s = getenv("VYN_SOURCE_DIR");
    return s ? s : ".";
}

} // namespace xmltest
