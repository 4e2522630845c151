// Captures what a callback prints on standard output, as the process shell does for its
// commands.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace testcap {

template <typename Fn> std::string captureStdout(Fn fn) {
    std::fflush(stdout);
    char name[] = "/tmp/vyn_stdout_XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) std::abort();
    unlink(name);
    const int saved = dup(1);
    dup2(fd, 1);
    fn();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string out;
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
}

} // namespace testcap
