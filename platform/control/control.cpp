#include "platform/control/control.h"

#include "platform/hw/board_sim.h"
#include "platform/kmgr/appman.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/os/os.h"
#include "platform/os/sim.h"
#include "platform/settings/settings.h"
#include "platform/sysproc/sysproc.h"
#include "services/bytes/bytes.h"

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sstream>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace control {

namespace {

constexpr size_t MAX_LINE = 1024;
constexpr size_t MAX_CONNECTIONS = 16;
constexpr uint64_t MAX_STEP = 10000;   // ticks per command: a second or two of wall time
constexpr int SEND_TIMEOUT_MS = 5000;  // a client that reads no replies loses its connection
constexpr int ACCEPT_BACKOFF_MS = 100; // after a failed accept (out of descriptors)
constexpr int REFUSED_WAIT_MS = 100;   // for the first line of a connection beyond the cap
constexpr int SHELL_REPLY_WAIT_MS = 10000;

struct Channel {
    std::mutex m;            // start/stop and the connection list
    std::mutex commandMutex; // one command at a time, whichever connection sent it
    int listenFd = -1;
    int dirFd = -1;
    int wakeFd = -1;  // readable once stop begins: wakes every poll
    int spareFd = -1; // a descriptor in reserve: lets a refusal through when all are taken
    unsigned index = 0;
    std::thread acceptor;
    struct Conn {
        std::thread thread;
        int fd;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<Conn> connections;
};

Channel& C() {
    static Channel* c = new Channel;
    return *c;
}

bool parseU64(const std::string& s, int base, uint64_t* out) {
    if (s.empty() || s[0] == '-' || s[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(s.c_str(), &end, base);
    if (errno || *end) return false;
    *out = v;
    return true;
}

// Decimal or "0x" hexadecimal, with an optional minus sign.
bool parseI64(const std::string& s, int64_t* out) {
    bool neg = !s.empty() && s[0] == '-';
    std::string digits = neg ? s.substr(1) : s;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits = digits.substr(2);
    }
    uint64_t v;
    if (!parseU64(digits, base, &v) || v > static_cast<uint64_t>(INT64_MAX)) return false;
    *out = neg ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
    return true;
}

// Waits up to `ms` (-1: no limit) until `fd` is ready for `events`; false on time-out and once
// stop began. A negative `fd` waits for the stop alone.
bool waitFor(int fd, short events, int ms) {
    pollfd p[2] = {{fd, events, 0}, {C().wakeFd, POLLIN, 0}};
    int r;
    while ((r = ::poll(p, 2, ms)) < 0 && errno == EINTR) {
    }
    return r > 0 && !p[1].revents;
}

// Bounded: a client that never reads its replies must not hold its thread, and with it the
// unit's stop, for ever.
bool sendAll(int fd, const std::string& s) {
    for (size_t off = 0; off < s.size();) {
        ssize_t w = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w >= 0) {
            off += static_cast<size_t>(w);
        } else if (errno != EINTR &&
                   ((errno != EAGAIN && errno != EWOULDBLOCK) || !waitFor(fd, POLLOUT, SEND_TIMEOUT_MS))) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> arg;
    for (std::string w; in >> w;)
        arg.push_back(w);
    return arg;
}

void serve(int fd, std::shared_ptr<std::atomic<bool>> done) {
    std::string buf;
    bool close = false;
    char chunk[512];
    while (!close && waitFor(fd, POLLIN, -1)) {
        ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n <= 0) {
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            break;
        }
        buf.append(chunk, static_cast<size_t>(n));
        size_t nl;
        while (!close && (nl = buf.find('\n')) != std::string::npos) {
            std::string line = buf.substr(0, nl);
            buf.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!sendAll(fd, execute(line, &close) + "\n")) close = true;
        }
        if (buf.size() > MAX_LINE) {
            sendAll(fd, "error line longer than " + std::to_string(MAX_LINE) + " characters\n");
            break;
        }
    }
    ::shutdown(fd, SHUT_RDWR);
    *done = true; // the acceptor joins the thread and closes the descriptor
}

// A connection beyond the cap gets one line and is closed. A postrun it sends at once is still
// carried out: whoever holds the other connections, the unit can be shut down.
void refuse(int fd) {
    std::string reply = "error too many connections; only postrun is taken";
    char line[64];
    ssize_t n = waitFor(fd, POLLIN, REFUSED_WAIT_MS) ? ::recv(fd, line, sizeof line, MSG_DONTWAIT) : -1;
    if (n > 0 && words(std::string(line, static_cast<size_t>(n))) == std::vector<std::string>{"postrun"}) {
        std::string error;
        reply = postrun(&error) ? "ok" : "error " + error;
    }
    sendAll(fd, reply + "\n");
    ::close(fd);
}

// Joins finished connections (all of them with `all`) and closes their descriptors.
void reap(bool all) {
    Channel& c = C();
    std::vector<Channel::Conn> finished;
    {
        std::lock_guard<std::mutex> g(c.m);
        for (auto it = c.connections.begin(); it != c.connections.end();) {
            if (all || *it->done) {
                finished.push_back(std::move(*it));
                it = c.connections.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Channel::Conn& k : finished) {
        k.thread.join();
        ::close(k.fd);
    }
}

void acceptLoop() {
    Channel& c = C();
    while (waitFor(c.listenFd, POLLIN, -1)) {
        int fd = ::accept4(c.listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            const int err = errno;
            if (err == EINTR || err == ECONNABORTED) continue;
            // Out of descriptors the listener stays readable: answer the waiting client through
            // the spare one, then back off instead of spinning.
            if ((err == EMFILE || err == ENFILE) && c.spareFd >= 0) {
                ::close(c.spareFd);
                fd = ::accept4(c.listenFd, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) refuse(fd);
                c.spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
                if (fd >= 0) continue;
            }
            if (waitFor(-1, 0, ACCEPT_BACKOFF_MS)) return;
            continue;
        }
        reap(false);
        std::unique_lock<std::mutex> g(c.m);
        bool room = c.connections.size() < MAX_CONNECTIONS;
        if (room) {
            auto done = std::make_shared<std::atomic<bool>>(false);
            try {
                c.connections.push_back({std::thread(serve, fd, done), fd, done});
            } catch (const std::system_error&) {
                room = false; // no thread to be had
            }
        }
        g.unlock();
        if (!room) refuse(fd);
    }
}

void closeAll(Channel& c) {
    for (int* fd : {&c.listenFd, &c.dirFd, &c.wakeFd, &c.spareFd}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

// sun_path is short; a long unit directory is reached through its descriptor.
std::string bindPath(const std::string& unitDir, int dirFd) {
    std::string direct = unitDir + "/" + SOCKET_NAME;
    if (direct.size() < sizeof(sockaddr_un::sun_path)) return direct;
    return "/proc/self/fd/" + std::to_string(dirFd) + "/" + SOCKET_NAME;
}

sockaddr_un address(const std::string& path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    return a;
}

std::string cmdStep(const std::vector<std::string>& arg) {
    uint64_t n;
    if (arg.size() != 2 || !parseU64(arg[1], 10, &n) || n > MAX_STEP)
        return "error usage: step N (0 to " + std::to_string(MAX_STEP) + " per command)";
    if (sim::mode() != sim::TimeMode::Stepped)
        return "error step needs stepped time (the unit runs in real time)";
    sim::step(n);
    return "ok " + std::to_string(sim::ticks());
}

std::string cmdFault(const std::vector<std::string>& arg) {
    uint64_t call;
    int64_t result, count = 1;
    if (arg.size() < 3 || arg.size() > 4 || !parseU64(arg[1], 10, &call) || call > 0xFFFFFFFFu ||
        !parseI64(arg[2], &result) ||
        (arg.size() == 4 && (!parseI64(arg[3], &count) || count < -1 || count > INT32_MAX)))
        return "error usage: fault CALL RESULT [COUNT] (COUNT -1: every call, 0: clear)";
    kmgr::injectFault(static_cast<unsigned>(call), static_cast<intptr_t>(result), static_cast<int>(count));
    return "ok";
}

std::string cmdHwremove(const std::vector<std::string>& arg) {
    uint64_t addr;
    std::string a = arg.size() == 2 ? arg[1] : "";
    if (a.size() > 2 && a[0] == '0' && (a[1] == 'x' || a[1] == 'X')) a = a.substr(2);
    if (arg.size() != 2 || !parseU64(a, 16, &addr) || addr > UINTPTR_MAX)
        return "error usage: hwremove ADDRESS (hex)";
    if (!hwsim::removeBoardDevice(static_cast<uintptr_t>(addr))) {
        char buf[80];
        std::snprintf(buf, sizeof buf, "error no board device at 0x%08" PRIX64, addr);
        return buf;
    }
    return "ok";
}

bool parseHex32(std::string a, uint32_t* out) {
    if (a.size() > 2 && a[0] == '0' && (a[1] == 'x' || a[1] == 'X')) a = a.substr(2);
    uint64_t v;
    if (!parseU64(a, 16, &v) || v > 0xFFFFFFFFu) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

std::string cmdStatus(const std::vector<std::string>& arg) {
    if (arg.size() != 2 && arg.size() != 3) return "error usage: status FIELD [VALUE]";
    std::string error, value;
    if (arg.size() == 2) {
        if (!sysproc::getStatus(arg[1], &value, &error)) return "error " + error;
        return "ok " + value;
    }
    if (!sysproc::setStatus(arg[1], arg[2], &error)) return "error " + error;
    return "ok";
}

std::string cmdAdc(const std::vector<std::string>& arg) {
    uint64_t ch;
    char* end = nullptr;
    const double volts = arg.size() == 3 ? std::strtod(arg[2].c_str(), &end) : 0.0;
    if (arg.size() != 3 || !parseU64(arg[1], 10, &ch) || ch >= zynq::ADC_CHANNELS || arg[2].empty() || *end ||
        !std::isfinite(volts))
        return "error usage: adc CHANNEL VOLTS (channel 0 to 31)";
    if (!hwsim::setAdcChannel(static_cast<int>(ch), volts)) return "error the board is not installed";
    return "ok";
}

bool channelArg(const std::vector<std::string>& arg, size_t words, uint64_t limit, uint64_t* ch) {
    return arg.size() >= words && parseU64(arg[1], 10, ch) && *ch < limit;
}

std::string cmdAdcstim(const std::vector<std::string>& arg) {
    uint64_t ch;
    std::string text, error;
    for (size_t i = 2; i < arg.size(); ++i)
        text += arg[i] + " ";
    hwsim::Stimulus s;
    if (!channelArg(arg, 3, zynq::ADC_CHANNELS, &ch))
        return "error usage: adcstim CHANNEL STIMULUS (channel 0 to 31)";
    if (!hwsim::parseStimulus(text, platform::settings().unitDir, &s, &error)) return "error " + error;
    if (!hwsim::setAdcStimulus(static_cast<int>(ch), s)) return "error the board is not installed";
    return "ok";
}

std::string cmdAdcraw(const std::vector<std::string>& arg) {
    uint64_t ch, f, u;
    if (arg.size() != 4 || !channelArg(arg, 4, zynq::ADC_CHANNELS, &ch) || !parseU64(arg[2], 16, &f) ||
        !parseU64(arg[3], 16, &u) || f > 0xFFFF || u > 0xFFFF)
        return "error usage: adcraw CHANNEL FILTERED UNFILTERED (channel 0 to 31, counts in hex)";
    if (!hwsim::setAdcRaw(static_cast<int>(ch), static_cast<uint16_t>(f), static_cast<uint16_t>(u)))
        return "error the board is not installed";
    return "ok";
}

std::string cmdAdcwire(const std::vector<std::string>& arg) {
    static const std::pair<const char*, hwsim::Wiring> names[] = {{"good", hwsim::Wiring::Good},
                                                                  {"open", hwsim::Wiring::Open},
                                                                  {"gnd", hwsim::Wiring::ShortGround},
                                                                  {"bat", hwsim::Wiring::ShortBattery}};
    uint64_t ch;
    if (arg.size() == 3 && channelArg(arg, 3, 16, &ch))
        for (auto& [name, w] : names)
            if (arg[2] == name) return hwsim::setAdcWiring(static_cast<int>(ch), w) ? "ok" : "error";
    return "error usage: adcwire CHANNEL good|open|gnd|bat (channel 0 to 15)";
}

std::string cmdRev(const std::vector<std::string>& arg) {
    uint64_t ch;
    char* end = nullptr;
    const double hz = arg.size() == 3 ? std::strtod(arg[2].c_str(), &end) : -1.0;
    if (arg.size() != 3 || !channelArg(arg, 3, zynq::REV_CHANNELS, &ch) || *end ||
        !hwsim::setRevFrequency(static_cast<int>(ch), hz))
        return "error usage: rev CHANNEL HZ (channel 0 to 3, 0 to 1000000 Hz)";
    return "ok";
}

std::string cmdPwm(const std::vector<std::string>& arg) {
    uint64_t ch;
    double duty, hz;
    if (arg.size() != 2 || !channelArg(arg, 2, zynq::PWM_CHANNELS, &ch))
        return "error usage: pwm CHANNEL (0 to 7)";
    if (!hwsim::pwmOutput(static_cast<int>(ch), &duty, &hz)) return "error the board is not installed";
    char buf[64];
    std::snprintf(buf, sizeof buf, "ok %.3f %.3f", duty, hz);
    return buf;
}

// Every LED of the array: modules top, left, right, LEDs 0 to 9 each, as RRGGBB.
std::string cmdLeds(const std::vector<std::string>& arg) {
    if (arg.size() != 1) return "error usage: leds";
    std::string r = "ok";
    for (int p = 1; p <= zynq::LED_MODULES; ++p)
        for (int n = 0; n < zynq::LED_PER_MODULE; ++n) {
            uint32_t rgb = 0;
            if (!hwsim::ledColour(p, n, &rgb)) return "error the board is not installed";
            char buf[8];
            std::snprintf(buf, sizeof buf, " %06X", static_cast<unsigned>(rgb));
            r += buf;
        }
    return r;
}

std::string cmdDin(const std::vector<std::string>& arg) {
    uint64_t ch, level;
    if (arg.size() != 3 || !parseU64(arg[1], 10, &ch) || ch >= zynq::GPIO_DIN_COUNT ||
        !parseU64(arg[2], 10, &level) || level > 1)
        return "error usage: din CHANNEL LEVEL (channel 0 to 8, level 0 or 1)";
    hwsim::setDigitalIn(static_cast<int>(ch), level == 1);
    return "ok";
}

std::string cmdDout(const std::vector<std::string>& arg) {
    uint64_t ch;
    if (arg.size() != 2 || !parseU64(arg[1], 10, &ch) || ch >= zynq::GPIO_DOUT_COUNT)
        return "error usage: dout CHANNEL (0 to 11)";
    return hwsim::digitalOut(static_cast<int>(ch)) ? "ok 1" : "ok 0";
}

std::string cmdXadc(const std::vector<std::string>& arg) {
    uint64_t v;
    const zynq::XadcReg* reg = nullptr;
    for (const zynq::XadcReg& r : zynq::XADC_REGS)
        if (arg.size() == 3 && arg[1] == r.name) reg = &r;
    std::string value = arg.size() == 3 ? arg[2] : "";
    int base = 10;
    if (value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
        value = value.substr(2);
        base = 16;
    }
    if (!reg || !parseU64(value, base, &v) || v > 0xFFFFFFFFu) {
        std::string names;
        for (const zynq::XadcReg& r : zynq::XADC_REGS)
            names += std::string(names.empty() ? "" : " ") + r.name;
        return "error usage: xadc REGISTER VALUE (registers: " + names + ")";
    }
    if (!hwsim::setXadcWord(reg->offset, static_cast<uint32_t>(v))) return "error the board is not installed";
    return "ok";
}

std::string cmdFpgaid(const std::vector<std::string>& arg) {
    uint32_t id, version;
    if (arg.size() != 3 || !parseHex32(arg[1], &id) || !parseHex32(arg[2], &version))
        return "error usage: fpgaid ID VERSION (hex)";
    if (!hwsim::setFpgaIdentity(id, version)) return "error the board is not installed";
    return "ok";
}

// One line: backslash, control characters and bytes above 0x7E escaped.
std::string escaped(const char* text) {
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p == '\\') {
            out += "\\\\";
        } else if (*p == '\n') {
            out += "\\n";
        } else if (*p < ' ' || *p > '~') {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", *p);
            out += hex;
        } else {
            out += static_cast<char>(*p);
        }
    }
    return out;
}

// Types a command line into the process shell and returns what the command printed.
std::string cmdShell(const std::vector<std::string>& arg) {
    if (arg.size() < 2) return "error usage: shell COMMAND [ARGUMENTS...]";
    const unsigned index = C().index;
    uint32_t id;
    if (!kmgr::shellCommandId(index, arg[1], &id)) return "error no shell command '" + arg[1] + "'";
    const size_t argc = arg.size() - 1;
    std::vector<uint8_t> msg(8 + 4 * argc);
    bytes::put_le32(msg.data(), id);
    bytes::put_le32(msg.data() + 4, static_cast<uint32_t>(argc));
    for (size_t i = 0; i < argc; ++i) {
        bytes::put_le32(msg.data() + 8 + 4 * i, static_cast<uint32_t>(msg.size()));
        msg.insert(msg.end(), arg[i + 1].begin(), arg[i + 1].end());
        msg.push_back(0);
    }
    if (msg.size() > SHELL_MSG_MAX) return "error command line too long";
    char queueName[64], replyName[64];
    std::snprintf(queueName, sizeof queueName, "%s_%u", SHELL_QUEUE, index);
    std::snprintf(replyName, sizeof replyName, "%s_%u", SHELL_REPLY_QUEUE, index);
    MSG_Q_ID q = msgQOpen(queueName, 0, 0, 0, 0);
    MSG_Q_ID r = msgQOpen(replyName, 0, 0, 0, 0);
    if (!q || !r) return "error the shell of process " + std::to_string(index) + " does not run";
    static char reply[SHELL_MSG_MAX + 1];
    while (msgQReceive(r, reply, SHELL_MSG_MAX, NO_WAIT) >= 0) {
        // an answer that came after its command gave up
    }
    if (msgQSend(q, msg.data(), msg.size(), NO_WAIT, MSG_PRI_NORMAL) != OK) return "error the shell is busy";
    // Wall time: in stepped time a command that waits for ticks answers only once they are stepped.
    for (int waited = 0; waited < SHELL_REPLY_WAIT_MS; ++waited) {
        const int got = msgQReceive(r, reply, SHELL_MSG_MAX, NO_WAIT);
        if (got >= 5) {
            const auto result =
                static_cast<int32_t>(bytes::get_le32(reinterpret_cast<const uint8_t*>(reply)));
            reply[got] = 0;
            return "ok " + std::to_string(result) + " " + escaped(reply + 4);
        }
        if (waitFor(-1, 0, 1)) break;
    }
    return "error no answer from the shell";
}

} // namespace

bool postrun(std::string* error) {
    std::string name = "/SemPostDrive" + std::to_string(C().index);
    SEM_ID s = semOpen(name.c_str(), SEM_TYPE_BINARY, 0, 0, 0); // never created here
    if (!s) {
        if (error) *error = name + " is not open: the application has not reached its post-run wait";
        return false;
    }
    if (semGive(s) != OK) {
        if (error) *error = "cannot give " + name + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::string execute(const std::string& line, bool* closeConnection) {
    const std::vector<std::string> arg = words(line);
    if (arg.empty()) return "error empty command";
    std::lock_guard<std::mutex> g(C().commandMutex);
    const std::string& cmd = arg[0];
    if (cmd == "step") return cmdStep(arg);
    if (cmd == "ticks") return arg.size() == 1 ? "ok " + std::to_string(sim::ticks()) : "error usage: ticks";
    if (cmd == "postrun") {
        if (arg.size() != 1) return "error usage: postrun";
        std::string error;
        return postrun(&error) ? "ok" : "error " + error;
    }
    if (cmd == "fault") return cmdFault(arg);
    if (cmd == "hwremove") return cmdHwremove(arg);
    if (cmd == "status") return cmdStatus(arg);
    if (cmd == "adc") return cmdAdc(arg);
    if (cmd == "adcstim") return cmdAdcstim(arg);
    if (cmd == "adcraw") return cmdAdcraw(arg);
    if (cmd == "adcwire") return cmdAdcwire(arg);
    if (cmd == "pullup") {
        uint64_t ch;
        if (arg.size() != 2 || !channelArg(arg, 2, 16, &ch)) return "error usage: pullup CHANNEL (0 to 15)";
        return hwsim::adcPullup(static_cast<int>(ch)) ? "ok 1" : "ok 0";
    }
    if (cmd == "rev") return cmdRev(arg);
    if (cmd == "pwm") return cmdPwm(arg);
    if (cmd == "din") return cmdDin(arg);
    if (cmd == "leds") return cmdLeds(arg);
    if (cmd == "dout") return cmdDout(arg);
    if (cmd == "xadc") return cmdXadc(arg);
    if (cmd == "fpgaid") return cmdFpgaid(arg);
    if (cmd == "shell") return cmdShell(arg);
    if (cmd == "tasks") {
        if (arg.size() != 1) return "error usage: tasks";
        std::string r = "ok";
        for (const std::string& n : sim::taskNames())
            r += " " + n;
        return r;
    }
    if (cmd == "late") {
        sim::Lateness l;
        if (arg.size() != 2) return "error usage: late TASK";
        if (!sim::lateness(arg[1], &l)) return "error no task '" + arg[1] + "'";
        char r[128];
        std::snprintf(r, sizeof r, "ok %llu %.0f %.0f %.0f %llu", static_cast<unsigned long long>(l.samples),
                      l.p50Us, l.p99Us, l.maxUs, static_cast<unsigned long long>(l.overPeriod));
        return r;
    }
    if (cmd == "quit") {
        if (closeConnection) *closeConnection = true;
        return "ok bye";
    }
    return "error unknown command '" + cmd + "'";
}

bool claim(const std::string& unitDir, unsigned index, std::string* error) {
    Channel& c = C();
    std::lock_guard<std::mutex> g(c.m);
    auto fail = [&](const std::string& what) {
        if (error) *error = what + (errno ? std::string(": ") + std::strerror(errno) : "");
        closeAll(c);
        return false;
    };
    if (c.listenFd >= 0) {
        if (error) *error = "the control channel is already open";
        return false;
    }
    c.index = index;
    c.dirFd = ::open(unitDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (c.dirFd < 0) return fail("cannot open " + unitDir);
    const std::string shown = unitDir + "/" + SOCKET_NAME;
    sockaddr_un a = address(bindPath(unitDir, c.dirFd));

    struct stat st;
    if (::fstatat(c.dirFd, SOCKET_NAME, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            errno = 0;
            return fail(shown + " exists and is not a socket");
        }
        int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool live = probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        if (probe >= 0) ::close(probe);
        if (live) {
            errno = 0;
            return fail("another unit is running in " + unitDir + " (" + shown + " answers)");
        }
        ::unlinkat(c.dirFd, SOCKET_NAME, 0); // left behind by a unit that ended
    }
    c.listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (c.listenFd < 0) return fail("cannot create the control socket");
    if (::bind(c.listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return fail("cannot bind " + shown);
    if (::listen(c.listenFd, 8) != 0) return fail("cannot listen on " + shown);
    c.wakeFd = ::eventfd(0, EFD_CLOEXEC);
    if (c.wakeFd < 0) return fail("cannot create an eventfd");
    c.spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (c.spareFd < 0) return fail("cannot open /dev/null");
    return true;
}

bool start(const std::string& unitDir, unsigned index, std::string* error) {
    Channel& c = C();
    if (c.listenFd < 0 && !claim(unitDir, index, error)) return false;
    std::lock_guard<std::mutex> g(c.m);
    if (c.acceptor.joinable()) {
        if (error) *error = "the control channel is already open";
        return false;
    }
    c.acceptor = std::thread(acceptLoop);
    return true;
}

void stop() {
    Channel& c = C();
    std::thread acceptor;
    {
        std::lock_guard<std::mutex> g(c.m);
        if (c.listenFd < 0) return;
        uint64_t one = 1;
        [[maybe_unused]] ssize_t w = ::write(c.wakeFd, &one, sizeof one);
        acceptor = std::move(c.acceptor);
    }
    if (acceptor.joinable()) acceptor.join(); // no new connections after this
    reap(true);
    std::lock_guard<std::mutex> g(c.m);
    ::unlinkat(c.dirFd, SOCKET_NAME, 0);
    closeAll(c);
}

} // namespace control
