#include "platform/control/control.h"
#include "platform/hw/hw.h"
#include "platform/hw/board_sim.h"
#include "platform/kmgr/appman.h"
#include "platform/kmgr/calls.h"
#include "platform/kmgr/kmgr.h"
#include "platform/kmgr/kmgr_sim.h"
#include "support/stepped.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr unsigned INDEX = 3;
using UnitDir = testsupport::ScratchDir;

// A client as a test or tool would be: a stream socket, one line out, one line back.
struct Client {
    int fd = -1;
    std::string buf;

    explicit Client(const std::string& unitDir) {
        int dirFd = ::open(unitDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        std::string path = unitDir + "/vyn.ctl";
        if (path.size() >= sizeof(sockaddr_un::sun_path))
            path = "/proc/self/fd/" + std::to_string(dirFd) + "/vyn.ctl";
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd);
            fd = -1;
        }
        ::close(dirFd);
    }
    ~Client() {
        if (fd >= 0) ::close(fd);
    }
    bool connected() const { return fd >= 0; }
    void sendRaw(const std::string& s) {
        ASSERT_EQ(::send(fd, s.data(), s.size(), MSG_NOSIGNAL), (ssize_t)s.size());
    }
    // The next reply line; "<eof>" when the channel closed.
    std::string reply() {
        char chunk[256];
        size_t nl;
        while ((nl = buf.find('\n')) == std::string::npos) {
            ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) return "<eof>";
            buf.append(chunk, static_cast<size_t>(n));
        }
        std::string line = buf.substr(0, nl);
        buf.erase(0, nl + 1);
        return line;
    }
    std::string cmd(const std::string& line) {
        sendRaw(line + "\n");
        return reply();
    }
};

struct ControlChannel : ::testing::Test {
    UnitDir unit{std::string(100, 'c')}; // too long for a socket path: reached through the directory
    void SetUp() override {
        sim::stopRealtime();
        sim::configure(sim::TimeMode::Stepped, 1700000000);
        std::string error;
        ASSERT_TRUE(control::start(unit.path, INDEX, &error)) << error;
    }
    void TearDown() override { control::stop(), kmgr::clearFaults(); }
};

TEST_F(ControlChannel, StepsAndReadsSteppedTime) {
    Client c(unit.path);
    ASSERT_TRUE(c.connected());
    uint64_t t0 = sim::ticks();
    EXPECT_EQ(c.cmd("ticks"), "ok " + std::to_string(t0));
    EXPECT_EQ(c.cmd("step 10"), "ok " + std::to_string(t0 + 10));
    EXPECT_EQ(c.cmd("  step   5  \r"), "ok " + std::to_string(t0 + 15));
    sim::configure(sim::TimeMode::Realtime, 1700000000); // the clock thread is not started
    EXPECT_EQ(c.cmd("step 1").rfind("error ", 0), 0u);
    sim::configure(sim::TimeMode::Stepped, 1700000000);
    EXPECT_EQ(sim::ticks(), t0 + 15);
}

TEST_F(ControlChannel, PostrunGivesOnlyAnOpenSemaphore) {
    Client c(unit.path);
    EXPECT_EQ(c.cmd("postrun").rfind("error ", 0), 0u);
    EXPECT_EQ(semOpen("/SemPostDrive3", SEM_TYPE_BINARY, 0, 0, 0), nullptr) << "postrun must not create it";
    SEM_ID s = semOpen("/SemPostDrive3", SEM_TYPE_BINARY, SEM_EMPTY, SEM_Q_FIFO, OM_CREATE);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(c.cmd("postrun now").rfind("error ", 0), 0u);
    EXPECT_EQ(c.cmd("postrun"), "ok");
    EXPECT_EQ(semTake(s, NO_WAIT), OK);
}

TEST_F(ControlChannel, FaultsAreInjectedIntoManagerCalls) {
    kmgr::setHandler(3000, [](const intptr_t*) -> intptr_t { return 5; });
    Client c(unit.path);
    // line, then the results of the next calls
    const std::pair<const char*, std::vector<intptr_t>> cases[] = {{"fault 3000 -1 2", {-1, -1, 5}},
                                                                   {"fault 3000 0x10", {16, 5}}, // one call
                                                                   {"fault 3000 -7 -1", {-7, -7, -7, -7}},
                                                                   {"fault 3000 0 0", {5}},      // clears
                                                                   {"fault 3000 010", {10, 5}}}; // decimal
    for (const auto& [line, results] : cases) {
        EXPECT_EQ(c.cmd(line), "ok");
        for (intptr_t r : results)
            EXPECT_EQ(kmgr_syscall(3000), r) << line;
    }
    kmgr::setHandler(3000, nullptr);
}

// Each line and its reply, then a register of the board and what it holds (0: none read).
TEST_F(ControlChannel, BoardAndStatusLinesReachTheirRegisters) {
    using namespace zynq;
    hwsim::installBoard();
    auto* block = static_cast<uint8_t*>(shmMap("/shm/ApplComm", 4096, true));
    ASSERT_NE(block, nullptr);
    ASSERT_NE(semOpen("/ApplComSem", SEM_TYPE_BINARY, SEM_FULL, SEM_Q_PRIORITY, OM_CREATE), nullptr);
    block[160] = 13;
    Client c(unit.path);
    const int b = GPIO_DOUT_BANK;
    const uintptr_t pins = GPIO_BASE + GPIO_DATA_RO(GPIO_DIN_BANK);
    const struct {
        const char* line;
        const char* reply;
        uintptr_t reg;
        uint32_t value;
    } cases[] = {
        {"adc 18 2.5", "ok", ADC_BASE + ADC_REG_FILTERED + 4 * 18, 0x800},
        {"adc 0 -0.5", "ok", ADC_BASE + ADC_REG_UNFILTERED, 0xFE66},
        {"din 2 0", "ok", pins, 0x10}, // power good and the 12 V status high at power-on
        {"din 2 1", "ok", pins, 0x14},
        {"dout 10", "ok 0", 0, 0},
        {"xadc vccint_max 0x5A50", "ok", XADC_BASE + 0x284, 0x5A50},
        {"xadc temp 41360", "ok", XADC_BASE + 0x200, 41360},
        {"fpgaid 0x45434656 10200000", "ok", FPGA_IDENT_BASE + FPGA_IDENT_REG_VERSION, 0x10200000},
        // an open input reads its pull-up: off at power-on; a PWM output off at power-on
        {"adcwire 5 open", "ok", ADC_BASE + ADC_REG_UNFILTERED + 4 * 5, 0},
        {"adcraw 6 FFFF 800", "ok", ADC_BASE + ADC_REG_FILTERED + 4 * 6, 0xFFFF},
        {"pullup 5", "ok 0", 0, 0},
        {"pwm 7", "ok 0.000 0.000", 0, 0},
        {"status can1_state 3", "ok", 0, 0},
        {"status can1_state", "ok 3", 0, 0},
        {"status cpu_load.1 12.5", "ok", 0, 0},
        {"status cpu_load.1", "ok 12.5", 0, 0},
        {"status blink", "ok 13", 0, 0},
        {"hwremove 43C00000", "ok", FPGA_IDENT_BASE, 0xFFFFFFFF},
    };
    for (const auto& k : cases) {
        EXPECT_EQ(c.cmd(k.line), k.reply) << k.line;
        EXPECT_EQ(k.reg ? hw_read32(k.reg) : 0, k.value) << k.line;
    }
    EXPECT_EQ(block[73], 3);
    hw_write32(GPIO_BASE + GPIO_DIRM(b), 1u << 10);
    hw_write32(GPIO_BASE + GPIO_OEN(b), 1u << 10);
    hw_write32(GPIO_BASE + GPIO_MASK_DATA_LSW(b), 0xFBFF0400);
    EXPECT_EQ(c.cmd("dout 10"), "ok 1");
    EXPECT_EQ(c.cmd("hwremove 0xe000a000"), "ok");
    EXPECT_TRUE(!hw_map(FPGA_IDENT_BASE, 4) && !hw_map(GPIO_BASE, 4));
    EXPECT_NE(hw_map(TIME_BASE, 4), nullptr) << "the others stay";
    block[73] = block[160] = 0;
    hwsim::installBoard();
}

TEST_F(ControlChannel, TasksAreListedAndWatched) {
    TASK_ID t = taskSpawnFn("tCtlProbe", 100, 0, 0, [] {
        for (;;)
            taskDelay(1000);
    });
    sim::waitIdle();
    Client c(unit.path);
    std::string r = c.cmd("tasks");
    ASSERT_EQ(r.rfind("ok", 0), 0u) << r;
    EXPECT_NE((r + " ").find(" tCtlProbe "), std::string::npos) << r;
    EXPECT_EQ(c.cmd("late tCtlProbe"), "ok 0 0 0 0 0") << "its first look starts the count";
    EXPECT_EQ(c.cmd("late nobody"), "error no task 'nobody'");
    taskDelete(t);
    sim::waitIdle();
    EXPECT_EQ((c.cmd("tasks") + " ").find(" tCtlProbe "), std::string::npos);
}

// A line that cannot be carried out gets an error and changes nothing.
TEST_F(ControlChannel, LinesThatCannotBeCarriedOutAreRefusedAndChangeNothing) {
    hwsim::installBoard();
    kmgr::setHandler(3000, [](const intptr_t*) -> intptr_t { return 5; });
    ASSERT_NE(shmMap("/shm/ApplComm", 4096, true), nullptr);
    ASSERT_NE(semOpen("/ApplComSem", SEM_TYPE_BINARY, SEM_FULL, SEM_Q_PRIORITY, OM_CREATE), nullptr);
    Client c(unit.path);
    const uint64_t t0 = sim::ticks();
    std::istringstream bad(
        "step;step -1;step 1x;step 10001;ticks now;fault 3000;fault x 1;fault 3000 1 -2;"
        "fault 3000 1 1 1;hwremove 0x43C00004;hwremove 0xF8F00200;hwremove zz;hwremove;"
        "status ltm_pid 300;status bogus 1;status;status a b c;adc 32 1;adc 1 1V;adc 1 nan;"
        "din 9 1;din 1 2;dout 12;xadc vccbram 1;fpgaid 1;fpgaid 1 123456789;adcwire 16 gnd");
    for (std::string line; std::getline(bad, line, ';');)
        EXPECT_EQ(c.cmd(line).rfind("error ", 0), 0u) << line;
    EXPECT_EQ(std::pair(sim::ticks(), kmgr_syscall(3000)), std::pair(t0, intptr_t{5}));
    EXPECT_EQ(
        std::pair(hw_read32(zynq::FPGA_IDENT_BASE), hw_read32(zynq::ADC_BASE + zynq::ADC_REG_FILTERED + 4)),
        std::pair(hwsim::BOARD_FPGA_ID, 0u));
    EXPECT_EQ(c.cmd("status ltm_pid"), "ok 0");
    kmgr::setHandler(3000, nullptr);
}

// A recorded stimulus is read in the channel's thread: a file that could hold it there (a pipe
// without a writer, a device, a line without end) is refused at once and the channel goes on.
TEST_F(ControlChannel, RecordedStimulusFilesAreReadOnlyWhenTheyCannotHoldTheChannel) {
    hwsim::installBoard();
    const std::string fifo = unit / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    unit.write("long.csv", "0,1.5\n" + std::string(1 << 20, '7') + ",2.5\n");
    unit.write("good.csv", "0,1.5\n10,2.5\n");
    Client c(unit.path);
    const timeval bound{30, 0}; // when the thread hangs; an answer comes at once
    ASSERT_EQ(setsockopt(c.fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound), 0);
    const struct {
        std::string file, says;
    } cases[] = {{fifo, fifo + ": not a regular file"},
                 {"/dev/zero", "/dev/zero: not a regular file"},
                 {unit.path, unit.path + ": not a regular file"},
                 {unit / "long.csv", unit / "long.csv:2: line longer than "},
                 {unit / "none.csv", "cannot read " + unit / "none.csv"}};
    for (const auto& k : cases) {
        const std::string r = c.cmd("adcstim 3 csv " + k.file);
        EXPECT_EQ(r.rfind("error " + k.says, 0), 0u) << r;
        if (r == "<eof>") { // still inside: a writer coming and going lets it out
            const int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (w >= 0) ::close(w);
            return;
        }
    }
    EXPECT_EQ(c.cmd("adcstim 3 csv " + unit / "good.csv"), "ok");
    EXPECT_EQ(hw_read32(zynq::ADC_BASE + zynq::ADC_REG_UNFILTERED + 4 * 3), 0x4CDu) << "1.5 V";
}

TEST_F(ControlChannel, BadInputGetsAnErrorAndTheChannelGoesOn) {
    Client c(unit.path);
    EXPECT_EQ(c.cmd("reboot"), "error unknown command 'reboot'");
    c.sendRaw("\n \t \n"); // every line gets its reply
    EXPECT_EQ(c.reply(), "error empty command");
    EXPECT_EQ(c.reply(), "error empty command");
    c.sendRaw("ti");
    c.sendRaw("cks\n"); // a line may arrive in pieces
    EXPECT_EQ(c.reply().rfind("ok ", 0), 0u);
    c.sendRaw("ticks\nticks\n"); // or several in one piece
    EXPECT_EQ(c.reply().rfind("ok ", 0), 0u);
    EXPECT_EQ(c.reply().rfind("ok ", 0), 0u);
    c.sendRaw(std::string(2000, 'x'));
    EXPECT_EQ(c.reply(), "error line longer than 1024 characters");
    EXPECT_EQ(c.reply(), "<eof>");

    Client d(unit.path);
    EXPECT_EQ(d.cmd("quit"), "ok bye");
    EXPECT_EQ(d.reply(), "<eof>");
}

TEST_F(ControlChannel, SeveralClientsAtOnce) {
    Client a(unit.path), b(unit.path);
    ASSERT_TRUE(a.connected() && b.connected());
    std::thread ta([&] {
        for (int i = 0; i < 50; ++i)
            ASSERT_EQ(a.cmd("step 1").rfind("ok ", 0), 0u);
    });
    std::thread tb([&] {
        for (int i = 0; i < 50; ++i)
            ASSERT_EQ(b.cmd("ticks").rfind("ok ", 0), 0u);
    });
    ta.join();
    tb.join();
}

// The control channel plays the platform's shell: the request and the answer are in the
// processor's (little-endian) order, whatever the host's.
TEST_F(ControlChannel, AShellLineTravelsInTheProcessorsByteOrder) {
    kmgr::installShellAndRtc();
    ASSERT_EQ(kmgr_syscall(KCALL_SHELL_ADD, INDEX, reinterpret_cast<intptr_t>("echo"), 0x01020304), 1);
    MSG_Q_ID q = msgQOpen("/queue/MsdShell_3", 1, SHELL_MSG_MAX, MSG_Q_FIFO, OM_CREATE);
    MSG_Q_ID r = msgQOpen("/queue/MsdShellReply_3", 1, SHELL_MSG_MAX, MSG_Q_FIFO, OM_CREATE);
    ASSERT_TRUE(q && r);
    Client c(unit.path);
    c.sendRaw("shell echo ab\n");
    std::vector<uint8_t> m(SHELL_MSG_MAX);
    const int n = msgQReceive(q, reinterpret_cast<char*>(m.data()), SHELL_MSG_MAX, WAIT_FOREVER);
    ASSERT_GE(n, 0);
    m.resize(static_cast<size_t>(n));
    // id, argc 2, the strings at 16 and 21 of this copy
    const std::vector<uint8_t> want = {4,  3, 2, 1, 2,   0,   0,   0,   16, 0,   0,   0,
                                       21, 0, 0, 0, 'e', 'c', 'h', 'o', 0,  'a', 'b', 0};
    EXPECT_EQ(m, want);
    const char answer[] = {'\xFE', '\xFF', '\xFF', '\xFF', 'h', 'i', 0};
    ASSERT_EQ(msgQSend(r, answer, sizeof answer, NO_WAIT, MSG_PRI_NORMAL), OK);
    EXPECT_EQ(c.reply(), "ok -2 hi");
    msgQDelete(q), msgQDelete(r);
}

TEST_F(ControlChannel, StopClosesConnectionsAndRemovesTheSocket) {
    Client c(unit.path);
    ASSERT_EQ(c.cmd("ticks").rfind("ok", 0), 0u);
    control::stop();
    EXPECT_EQ(c.reply(), "<eof>");
    EXPECT_FALSE(std::filesystem::exists(unit.path + "/vyn.ctl"));
    EXPECT_FALSE(Client(unit.path).connected());
    std::string error;
    ASSERT_TRUE(control::start(unit.path, INDEX, &error)) << error; // for TearDown
}

TEST(ControlChannelStart, OneUnitPerDirectory) {
    UnitDir unit;
    std::string error;
    ASSERT_TRUE(control::start(unit.path, 0, &error)) << error;
    EXPECT_FALSE(control::start(unit.path, 0, &error));
    control::stop();

    // A socket left behind by an ended unit is replaced ...
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s/vyn.ctl", unit.path.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ::close(fd);
    ASSERT_TRUE(control::start(unit.path, 0, &error)) << error;
    EXPECT_TRUE(Client(unit.path).connected());
    control::stop();

    // ... one that still answers is not.
    fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    EXPECT_FALSE(control::start(unit.path, 0, &error));
    EXPECT_NE(error.find("another unit is running in " + unit.path), std::string::npos) << error;
    ::close(fd);
    ::unlink(a.sun_path);

    // A file of that name that is not a socket is left alone.
    unit.write("vyn.ctl", "notes");
    EXPECT_FALSE(control::start(unit.path, 0, &error));
    EXPECT_NE(error.find("is not a socket"), std::string::npos) << error;
    EXPECT_EQ(unit.read("vyn.ctl"), "notes");
}

// The Python client (tools/vynctl.py), as the end-to-end tests use it.
TEST(ControlChannelClient, PythonClientDrivesTheUnit) {
    const char* env = std::getenv("VYN_SOURCE_DIR");
    const std::string srcDir =
        env ? env : (std::filesystem::path(__FILE__) / "../../../..").lexically_normal().string();
    const char* src = srcDir.c_str();
    sim::configure(sim::TimeMode::Stepped, 1700000000);
    UnitDir unit(std::string(100, 'p')); // long: the client must reach it too
    std::string error;
    ASSERT_TRUE(control::start(unit.path, 0, &error)) << error;
    unit.write("drive.py", "import sys\n"
                           "sys.path.insert(0, sys.argv[1] + '/tools')\n"
                           "from vynctl import Unit, UnitError, UnitGone\n"
                           "with Unit(sys.argv[2]) as u:\n"
                           "    t = u.ticks()\n"
                           "    assert u.step(7) == t + 7\n"
                           "    assert u.cmd('step 3') == str(t + 10)\n"
                           "    try:\n"
                           "        u.postrun()\n"
                           "        raise SystemExit('postrun without semaphore succeeded')\n"
                           "    except UnitError as e:\n"
                           "        assert '/SemPostDrive0 is not open' in str(e), e\n"
                           "    assert isinstance(u.tasks(), list)\n"
                           "    u.quit()\n"
                           "    try:\n"
                           "        u.ticks()\n"
                           "        raise SystemExit('closed unit answered')\n"
                           "    except UnitGone:\n"
                           "        pass\n"
                           "print('python client ok')\n");
    uint64_t t0 = sim::ticks();
    std::string py = "/usr/bin/python3 " + unit.path + "/drive.py " + src + " " + unit.path + " 2>&1";
    FILE* p = ::popen(py.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[256];
    while (size_t n = std::fread(buf, 1, sizeof buf, p))
        out.append(buf, n);
    EXPECT_EQ(::pclose(p), 0) << out;
    EXPECT_EQ(out, "python client ok\n");
    EXPECT_EQ(sim::ticks(), t0 + 10);

    // The command line form: reply on stdout, exit code by the reply.
    auto run = [&](const std::string& args, std::string* text) {
        std::string cmd =
            "/usr/bin/python3 " + std::string(src) + "/tools/vynctl.py -d " + unit.path + " " + args;
        FILE* f = ::popen((cmd + " 2>&1").c_str(), "r");
        text->clear();
        while (size_t n = std::fread(buf, 1, sizeof buf, f))
            text->append(buf, n);
        return WEXITSTATUS(::pclose(f));
    };
    std::string text;
    EXPECT_EQ(run("step 5", &text), 0);
    EXPECT_EQ(text, "ok " + std::to_string(t0 + 15) + "\n");
    EXPECT_EQ(run("bogus", &text), 1);
    EXPECT_EQ(text, "error unknown command 'bogus'\n");
    control::stop();
    EXPECT_EQ(run("ticks", &text), 2);
    EXPECT_NE(text.find("no unit answers"), std::string::npos) << text;
}

} // namespace
