// The error manager's set and clear as a test sees them: each call recorded as (path, type), a
// clear with type 0. Included by the one file of a test binary that links no error manager.
#pragma once

#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

namespace testsupport {
inline std::mutex errorsMutex;
inline std::vector<std::pair<int, int>> errors;
} // namespace testsupport

int error_mgr_set(int path, int type, uint8_t) {
    std::lock_guard<std::mutex> g(testsupport::errorsMutex);
    testsupport::errors.emplace_back(path, type);
    return 1;
}
int error_mgr_clear(int path) {
    std::lock_guard<std::mutex> g(testsupport::errorsMutex);
    testsupport::errors.emplace_back(path, 0);
    return 0;
}
