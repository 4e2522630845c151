// A throw-away unit directory for platform tests.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct UnitDir {
    std::string path;

    explicit UnitDir(const std::string& suffix = "") {
        std::string tmpl = (std::filesystem::temp_directory_path() / "vyn-unit-XXXXXX").string();
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        path = mkdtemp(buf.data());
        if (!suffix.empty()) {
            path += "/" + suffix;
            std::filesystem::create_directories(path);
        }
        root = buf.data();
    }
    ~UnitDir() {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    UnitDir(const UnitDir&) = delete;
    UnitDir& operator=(const UnitDir&) = delete;

    void write(const std::string& name, const std::string& text) const {
        std::ofstream(path + "/" + name) << text;
    }
    std::string read(const std::string& name) const {
        std::ifstream f(path + "/" + name);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    std::vector<std::string> lines(const std::string& name) const {
        std::vector<std::string> out;
        std::istringstream in(read(name));
        for (std::string l; std::getline(in, l);)
            out.push_back(l);
        return out;
    }

  private:
    std::string root;
};
