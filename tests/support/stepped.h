// The set-up most tests share: stepped time, the log drained from "/syslogq", a scratch
// directory that goes with the test (also when it fails), and, when asked, the platform's
// 1 ms base tick "/BASETICK0".
#pragma once

#include "platform/os/os.h"
#include "platform/os/sim.h"
#include "support/logcapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

// A directory under the temporary folder, removed with the object.
struct ScratchDir {
    std::string path;

    explicit ScratchDir(const std::string& suffix = "") {
        std::string tmpl = (std::filesystem::temp_directory_path() / "vyn-test-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        root = path = tmpl;
        if (!suffix.empty()) {
            path += "/" + suffix;
            std::filesystem::create_directories(path);
        }
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string operator/(const std::string& name) const { return path + "/" + name; }
    void write(const std::string& name, const std::string& text) const {
        std::ofstream(*this / name) << text;
    }
    std::string read(const std::string& name) const {
        std::ifstream f(*this / name);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }

  private:
    std::string root;
};

// Base of the tests that run on stepped time. `seen` collects what was logged.
struct SteppedTest : ::testing::Test {
    std::vector<LogLine> seen;

    void SetUp() override {
        sim::stopRealtime();
        sim::configure(sim::TimeMode::Stepped, 1700000000);
        sim::waitIdle();
        logStart();
    }
    void TearDown() override {
        if (tickHook) sim::removeTickHook(tickHook);
        tickHook = 0;
    }
    // Gives "/BASETICK0" on every tick, as the platform does.
    void startBaseTick() {
        SEM_ID base = semOpen("/BASETICK0", SEM_TYPE_BINARY, 0, SEM_Q_PRIORITY, OM_CREATE);
        ASSERT_NE(base, nullptr);
        semTake(base, NO_WAIT);
        tickHook = sim::addTickHook([base](uint64_t) { semGive(base); });
    }
    bool logged(const std::string& text) { return logContains(seen, text); }
    // Lines logged so far that hold `text`.
    int countLogged(const std::string& text) {
        logged(text);
        return static_cast<int>(std::count_if(seen.begin(), seen.end(), [&](const LogLine& l) {
            return l.text.find(text) != std::string::npos;
        }));
    }

  private:
    int tickHook = 0;
};

// A stepped test whose set-up also calls these (the module's resets, a simulated device).
template <auto... calls> struct SteppedWith : SteppedTest {
    void SetUp() override {
        SteppedTest::SetUp();
        (calls(), ...);
    }
};

} // namespace testsupport
