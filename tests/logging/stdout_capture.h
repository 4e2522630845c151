// Captures what a callback prints on standard output, as the process shell does for its
// commands.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace testcap {

template <typename Fn> std::string captureStdout(Fn fn) {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

} // namespace testcap
