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

// One scratch directory per test process, removed with everything in it when the process ends.
inline const std::string& scratchDir() {
    static const std::string* dir = [] { // never destroyed: the exit handler still reads it
        std::string tmpl = testing::TempDir() + "vyn_xml_XXXXXX";
        char* d = mkdtemp(tmpl.data());
        if (!d) return new std::string(testing::TempDir());
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(*dir, ec);
        });
        return new std::string(std::string(d) + "/");
    }();
    return *dir;
}

inline std::string writeFile(const std::string& name, const std::string& content) {
    std::string path = scratchDir() + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct CommandResult {
    int status = -1;
    std::string out;
};

inline CommandResult runCommand(const std::string& cmd) {
    CommandResult r;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    r.status = pclose(p);
    return r;
}

inline std::string sourceDir() {
    const char* s = getenv("VYN_SOURCE_DIR");
    return s ? s : ".";
}

} // namespace xmltest
