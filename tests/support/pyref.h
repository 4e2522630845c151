// Independent references for the checksum and cipher tests: Debian's Python (/usr/bin/python3 with
// crcmod, hashlib, hmac, zlib) and the openssl command line, run in a subprocess.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace pyref {

using bytes = std::vector<uint8_t>;

inline std::string hex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}
inline std::string hex(const bytes& b) {
    return hex(b.data(), b.size());
}

inline bytes unhex(const std::string& s) {
    bytes b;
    for (size_t i = 0; i + 1 < s.size(); i += 2)
        b.push_back(static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
    return b;
}

inline bytes random_bytes(std::mt19937& rng, size_t n) {
    bytes b(n);
    for (auto& x : b)
        x = static_cast<uint8_t>(rng());
    return b;
}

// A file in /tmp holding the given content, removed again with the object.
class TempFile {
  public:
    explicit TempFile(const std::string& content) : TempFile(bytes(content.begin(), content.end())) {}
    explicit TempFile(const bytes& content) {
        char name[] = "/tmp/vyn_ref_XXXXXX";
        const int fd = mkstemp(name);
        path_ = name;
        if (fd < 0 || write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
            throw std::runtime_error("cannot write " + path_);
        close(fd);
    }
    ~TempFile() { unlink(path_.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Runs a shell command and returns its standard output; throws when it fails.
inline bytes run(const std::string& cmd) {
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) throw std::runtime_error("popen failed: " + cmd);
    bytes out;
    uint8_t buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.insert(out.end(), buf, buf + n);
    if (pclose(p) != 0) throw std::runtime_error("command failed: " + cmd);
    return out;
}

// Calls the Python function f, defined by `defs`, once per case with the case's fields as bytes
// objects and returns what it printed for each case, in order. Modules crcmod, hashlib, hmac and zlib
// are imported.
inline std::vector<std::string> map(const std::string& defs, const std::vector<std::vector<bytes>>& cases) {
    std::string input;
    for (const auto& c : cases) {
        for (const auto& field : c) {
            input += 'x'; // marks the field, which may be empty
            input += hex(field);
            input += ' ';
        }
        input += '\n';
    }
    const std::string script = "import sys, crcmod, hashlib, hmac, zlib\n" + defs +
                               "\nfor line in open(sys.argv[1]):\n"
                               "    print(f(*[bytes.fromhex(x[1:]) for x in line.split()]))\n";
    TempFile scriptFile(script), inputFile(input);
    const bytes out = run("/usr/bin/python3 " + scriptFile.path() + " " + inputFile.path());
    std::vector<std::string> lines;
    std::string line;
    for (uint8_t ch : out) {
        if (ch == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += static_cast<char>(ch);
        }
    }
    if (lines.size() != cases.size())
        throw std::runtime_error("reference gave " + std::to_string(lines.size()) + " results for " +
                                 std::to_string(cases.size()) + " cases");
    return lines;
}

} // namespace pyref
