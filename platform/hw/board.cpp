#include "platform/hw/hw_sim.h"
#include "platform/hw/board_sim.h"
#include "platform/os/pi_mutex.h"
#include "platform/os/sim.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace hwsim {

namespace {

// One window per block for the life of the process: mappings handed out before a
// removal or a new boot stay valid.
volatile uint32_t* windows[std::size(zynq::BOARD_BLOCKS)];
// Serialises read-modify-write of the register devices against the setters.
PiMutex windowsMutex; // the tick takes it too: a waiting tick lends the holder its priority

// Levels the outside world puts on the GPIO pins, per bank.
std::atomic<uint32_t> pinsIn[zynq::GPIO_BANKS];
std::atomic<uint64_t> adcStartCount{0};

// Power-on inputs: power good (2) and 12 V supply status (4) high.
constexpr uint32_t DIN_POWER_ON = 1u << 2 | 1u << 4;

// Power-on levels of the internal analog channels (volts at the converter): 13.8 V supply,
// 0.3 A, 25 degC, small sensor-supply currents, nominal sensor supplies, no USB current.
struct AdcDefault {
    int channel;
    double volts;
};
constexpr AdcDefault ADC_POWER_ON[] = {
    {16, 2.6501},  {17, 1.5},      {18, 2.119},    {20, 0.25},    {21, 0.25}, {22, 0.25},
    {23, 1.80564}, {24, 0.902822}, {25, 0.902822}, {26, 2.30441}, {27, 2.5},
};

// XADC codes (bits 15-4): 45 degC, VCCINT and VCCPINT 1.0 V, VCCAUX and VCCPAUX 1.8 V, DDR 1.5 V.
constexpr uint32_t XADC_POWER_ON[] = {0xA190, 0xA190, 0xA190, 0x5550, 0x5550, 0x5550, 0x5550, 0x5550,
                                      0x5550, 0x9990, 0x9990, 0x9990, 0x9990, 0x9990, 0x9990, 0x8000};
static_assert(std::size(XADC_POWER_ON) == std::size(zynq::XADC_REGS));

volatile uint32_t* windowOf(uintptr_t base) {
    for (size_t i = 0; i < std::size(zynq::BOARD_BLOCKS); ++i)
        if (zynq::BOARD_BLOCKS[i].base == base) return windows[i];
    return nullptr;
}

// The windows are the register files; the devices' functions and the setters run in
// different threads, so every access is atomic.
uint32_t load(uintptr_t base, uintptr_t off) {
    auto* w = const_cast<uint32_t*>(windowOf(base));
    return __atomic_load_n(w + off / 4, __ATOMIC_RELAXED);
}
void store(uintptr_t base, uintptr_t off, uint32_t v) {
    auto* w = const_cast<uint32_t*>(windowOf(base));
    __atomic_store_n(w + off / 4, v, __ATOMIC_RELAXED);
}

uint32_t adcCounts(double volts) {
    double c = std::round(volts / zynq::ADC_VOLTS_PER_COUNT);
    c = std::fmax(-32768.0, std::fmin(32767.0, c));
    return static_cast<uint32_t>(static_cast<int32_t>(c)) & 0xFFFF;
}

// ---- GPIO: masked output writes, pin levels from outputs and the outside world ----------
uint32_t gpioRead(uintptr_t off) {
    std::lock_guard<PiMutex> g(windowsMutex);
    for (int bank = 0; bank < zynq::GPIO_BANKS; ++bank) {
        if (off != zynq::GPIO_DATA_RO(bank)) continue;
        uint32_t out = load(zynq::GPIO_BASE, zynq::GPIO_DIRM(bank));
        return (pinsIn[bank].load() & ~out) | (load(zynq::GPIO_BASE, zynq::GPIO_DATA(bank)) & out);
    }
    return load(zynq::GPIO_BASE, off);
}

void gpioWrite(uintptr_t off, uint32_t v) {
    std::lock_guard<PiMutex> g(windowsMutex);
    for (int bank = 0; bank < zynq::GPIO_BANKS; ++bank) {
        if (off == zynq::GPIO_DATA_RO(bank)) return; // read only
        for (int half = 0; half < 2; ++half) {
            if (off != zynq::GPIO_MASK_DATA_LSW(bank) + 4u * static_cast<uintptr_t>(half)) continue;
            const uint32_t write = (~v >> 16 & 0xFFFF) << (16 * half);
            const uint32_t bits = (v & 0xFFFF) << (16 * half);
            const uintptr_t data = zynq::GPIO_DATA(bank);
            store(zynq::GPIO_BASE, data, (load(zynq::GPIO_BASE, data) & ~write) | (bits & write));
            return;
        }
    }
    store(zynq::GPIO_BASE, off, v);
}

// ---- analog-input core: sources, wiring, pull-ups, filter; counts the converter's starts --
struct AnalogInput {
    Stimulus source;
    bool raw = false; // registers set as counts: left alone
    Wiring wiring = Wiring::Good;
    double filtered = 0.0;
    bool still = false; // a constant input the filter has reached: a tick changes nothing
};
AnalogInput analog[zynq::ADC_CHANNELS];
uint64_t lastTick = 0;

// MAX7301 registers (slave 0 of the SPI core).
uint8_t expander[0x60];

bool pullupOn(int channel) {
    const int port = channel + 4;
    const uint8_t cfg = expander[zynq::MAX7301_REG_PORTCFG_FIRST + (port - 4) / 4] >> (2 * (port % 4)) & 3;
    return (expander[zynq::MAX7301_REG_CONFIG] & 1) && cfg == 1 &&
           !(expander[zynq::MAX7301_REG_PORT_FIRST + channel] & 1);
}

// Volts at the converter's input now.
double inputVolts(int channel) {
    const AnalogInput& in = analog[channel];
    switch (channel < 16 ? in.wiring : Wiring::Good) {
    case Wiring::Open:
        return pullupOn(channel) ? 5.0 : 0.0;
    case Wiring::ShortGround:
        return 0.0;
    case Wiring::ShortBattery:
        return 5.0;
    case Wiring::Good:
        break;
    }
    return in.source.at(lastTick);
}

// The input does not move with time: a constant source, or a wiring fault. Whatever changes it
// (a setter, the pull-up) converts it again at once.
bool timeless(int channel) {
    const AnalogInput& in = analog[channel];
    return (channel < 16 && in.wiring != Wiring::Good) || in.source.kind == Stimulus::Constant;
}

// Under windowsMutex. `settle`: the filtered result jumps to the input too.
void convert(int channel, bool settle) {
    AnalogInput& in = analog[channel];
    if (in.raw || !windowOf(zynq::ADC_BASE) || (in.still && !settle)) return;
    const double v = inputVolts(channel);
    const double was = in.filtered;
    in.filtered = settle ? v : in.filtered + (v - in.filtered) * 0.25;
    store(zynq::ADC_BASE, zynq::ADC_REG_UNFILTERED + 4u * channel, adcCounts(v));
    store(zynq::ADC_BASE, zynq::ADC_REG_FILTERED + 4u * channel, adcCounts(in.filtered));
    // Most inputs of a unit are constant: the tick leaves them alone once their filter stands.
    in.still = !settle && in.filtered == was && timeless(channel);
}

uint32_t adcRead(uintptr_t off) {
    return load(zynq::ADC_BASE, off);
}

void adcWrite(uintptr_t off, uint32_t v) {
    std::lock_guard<PiMutex> g(windowsMutex);
    if (off != zynq::ADC_REG_CONTROL) return; // the rest reads only
    if ((v & 1) && !(load(zynq::ADC_BASE, off) & 1)) adcStartCount++;
    store(zynq::ADC_BASE, off, v);
}

// ---- AXI SPI core with the port expander on slave 0 ----------------------------------------
uint32_t spiRead(uintptr_t off) {
    std::lock_guard<PiMutex> g(windowsMutex);
    if (off == zynq::SPI_REG_STATUS) return zynq::SPI_STATUS_TX_EMPTY;
    return load(zynq::AXI_SPI_BASE, off);
}

void spiWrite(uintptr_t off, uint32_t v) {
    std::lock_guard<PiMutex> g(windowsMutex);
    const uintptr_t spi = zynq::AXI_SPI_BASE;
    if (off == zynq::SPI_REG_RESET) {
        if (v == zynq::SPI_RESET_KEY) {
            store(spi, zynq::SPI_REG_CONTROL, 0);
            store(spi, zynq::SPI_REG_SELECT, 0xFFFFFFFF);
        }
        return;
    }
    if (off != zynq::SPI_REG_TX) {
        store(spi, off, v);
        return;
    }
    const uint32_t on = zynq::SPI_CONTROL_ENABLE | zynq::SPI_CONTROL_MASTER;
    if ((load(spi, zynq::SPI_REG_CONTROL) & on) != on || (load(spi, zynq::SPI_REG_SELECT) & 1)) return;
    const uint8_t reg = v >> 8 & 0x7F;
    uint32_t answer = 0;
    if (reg < sizeof expander) {
        if (v & zynq::MAX7301_READ) {
            answer = expander[reg];
        } else {
            expander[reg] = static_cast<uint8_t>(v);
            for (int ch = 0; ch < 16; ++ch)
                convert(ch, true);
        }
    }
    store(spi, zynq::SPI_REG_RX, answer);
}

// ---- the clock: sources, filters and rotational-speed levels advance every millisecond ----
void onTick(uint64_t tick) {
    std::lock_guard<PiMutex> g(windowsMutex);
    lastTick = tick;
    for (int ch = 0; ch < zynq::ADC_CHANNELS; ++ch)
        convert(ch, false);
    if (!windowOf(zynq::ROT_SPEED_BASE)) return;
    uint32_t levels = 0;
    for (int ch = 0; ch < zynq::REV_CHANNELS; ++ch) {
        const uint64_t half = load(zynq::ROT_SPEED_BASE, zynq::REV_REG_PERIOD + 4u * ch) / 2;
        if (half) levels |= static_cast<uint32_t>(tick * 1000 / half % 2) << ch;
    }
    store(zynq::ROT_SPEED_BASE, zynq::REV_REG_LEVELS, levels);
}

void powerOnState() {
    for (auto& p : pinsIn)
        p = 0;
    pinsIn[zynq::GPIO_DIN_BANK] = DIN_POWER_ON;
    adcStartCount = 0;
    store(zynq::ADC_BASE, zynq::ADC_REG_ID, BOARD_ADC_ID);
    store(zynq::ADC_BASE, zynq::ADC_REG_VERSION, BOARD_ADC_VERSION);
    for (AnalogInput& in : analog)
        in = AnalogInput{};
    for (const AdcDefault& d : ADC_POWER_ON)
        analog[d.channel].source.a = d.volts;
    std::memset(expander, 0, sizeof expander);
    std::memset(expander + zynq::MAX7301_REG_PORTCFG_FIRST, 0xAA, 7); // ports are inputs
    for (int ch = 0; ch < zynq::ADC_CHANNELS; ++ch)
        convert(ch, true);
    store(zynq::AXI_SPI_BASE, zynq::SPI_REG_SELECT, 0xFFFFFFFF);
    for (size_t i = 0; i < std::size(zynq::XADC_REGS); ++i)
        store(zynq::XADC_BASE, zynq::XADC_REGS[i].offset, XADC_POWER_ON[i]);
    store(zynq::FPGA_IDENT_BASE, zynq::FPGA_IDENT_REG_ID, BOARD_FPGA_ID);
    store(zynq::FPGA_IDENT_BASE, zynq::FPGA_IDENT_REG_VERSION, BOARD_FPGA_VERSION);
    store(zynq::ROT_SPEED_BASE, zynq::REV_REG_ID, BOARD_REV_ID);
    store(zynq::ROT_SPEED_BASE, zynq::REV_REG_VERSION, BOARD_REV_VERSION);
    store(zynq::PWM_OUT_BASE, zynq::PWM_REG_ID, BOARD_PWM_ID);
    store(zynq::PWM_OUT_BASE, zynq::PWM_REG_VERSION, BOARD_PWM_VERSION);
    store(zynq::LED_ARRAY_BASE, zynq::LED_REG_ID, BOARD_LED_ID);
    store(zynq::LED_ARRAY_BASE, zynq::LED_REG_VERSION, BOARD_LED_VERSION);
}

bool number(std::istringstream& in, double* v) {
    std::string w;
    if (!(in >> w)) return false;
    char* end = nullptr;
    *v = std::strtod(w.c_str(), &end);
    return !w.empty() && !*end && std::isfinite(*v);
}

// A row is a few dozen characters; comments get room too.
constexpr size_t CSV_LINE_MAX = 1024;

// The next line of `f` without its end into *line; false at the end of the file or when the line
// is longer than CSV_LINE_MAX (*tooLong), where the rest is left unread.
bool boundedLine(FILE* f, std::string* line, bool* tooLong) {
    line->clear();
    for (int c; (c = std::getc(f)) != EOF;) {
        if (c == '\n') return true;
        if (line->size() == CSV_LINE_MAX) return *tooLong = true, false;
        line->push_back(static_cast<char>(c));
    }
    return !line->empty();
}

// Read in the control channel's thread and at start: only a regular file, opened so that nothing
// waits (a pipe without a writer would hold the thread) and read line by line within a bound.
bool readRows(const std::string& path, Stimulus* s, std::string* error) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        *error = "cannot read " + path;
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = path + ": not a regular file";
        return false;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    FILE* f = fd >= 0 ? fdopen(fd, "r") : nullptr;
    if (!f) {
        if (fd >= 0) close(fd);
        *error = "cannot read " + path;
        return false;
    }
    const std::unique_ptr<FILE, int (*)(FILE*)> owner(f, std::fclose);
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) { // replaced since
        *error = path + ": not a regular file";
        return false;
    }
    std::string line;
    bool tooLong = false;
    int n = 1;
    for (; boundedLine(f, &line, &tooLong); ++n) {
        if (line.find_first_not_of(" \t\r") == std::string::npos || line[0] == '#') continue;
        unsigned long long ms = 0;
        double v = 0;
        char comma = 0;
        std::istringstream row(line);
        if (!(row >> ms >> comma >> v) || comma != ',' || !std::isfinite(v) || ms > UINT32_MAX ||
            (!s->rows.empty() && ms <= s->rows.back().first)) {
            *error = path + ":" + std::to_string(n) + ": expected 'milliseconds,volts' in rising time";
            return false;
        }
        s->rows.emplace_back(static_cast<uint32_t>(ms), v);
    }
    if (tooLong || std::ferror(f)) {
        *error = tooLong ? path + ":" + std::to_string(n) + ": line longer than " +
                               std::to_string(CSV_LINE_MAX) + " characters"
                         : "cannot read " + path;
        return false;
    }
    if (s->rows.empty()) *error = path + ": no rows";
    return !s->rows.empty();
}

} // namespace

void installBoard() {
    std::lock_guard<PiMutex> g(windowsMutex);
    for (size_t i = 0; i < std::size(zynq::BOARD_BLOCKS); ++i) {
        const zynq::Block& b = zynq::BOARD_BLOCKS[i];
        if (!windows[i])
            windows[i] = static_cast<volatile uint32_t*>(std::calloc(b.size / 4, 4));
        else
            std::memset(const_cast<uint32_t*>(windows[i]), 0, b.size); // registers come out of reset
    }
    powerOnState();
    for (size_t i = 0; i < std::size(zynq::BOARD_BLOCKS); ++i) {
        const zynq::Block& b = zynq::BOARD_BLOCKS[i];
        if (b.base == zynq::GPIO_BASE)
            addDevice(b.base, b.size, gpioRead, gpioWrite, windows[i]);
        else if (b.base == zynq::ADC_BASE)
            addDevice(b.base, b.size, adcRead, adcWrite, windows[i]);
        else if (b.base == zynq::AXI_SPI_BASE)
            addDevice(b.base, b.size, spiRead, spiWrite, windows[i]);
        else
            addDevice(b.base, b.size, nullptr, nullptr, windows[i]);
    }
    static const int hook = sim::addTickHook(onTick);
    (void)hook;
}

void withRegistersLocked(const std::function<void()>& fn) {
    std::lock_guard<PiMutex> g(windowsMutex);
    fn();
}

bool removeBoardDevice(uintptr_t base) {
    for (const zynq::Block& b : zynq::BOARD_BLOCKS) {
        if (b.base == base) {
            removeDevice(base);
            return true;
        }
    }
    return false;
}

bool setAdcChannel(int channel, double volts) {
    if (!std::isfinite(volts)) return false;
    Stimulus s;
    s.a = volts;
    return setAdcStimulus(channel, s);
}

double Stimulus::at(uint64_t ms) const {
    constexpr double PI = 3.14159265358979323846;
    const double phase = static_cast<double>(ms % periodMs) / periodMs;
    switch (kind) {
    case Constant:
        return a;
    case Sine:
        return a + b * std::sin(2.0 * PI * phase);
    case Square:
        return phase < 0.5 ? a : b;
    case Triangle:
        return phase < 0.5 ? a + (b - a) * 2.0 * phase : b - (b - a) * (2.0 * phase - 1.0);
    case Recorded:
        break;
    }
    const uint64_t t = rows.back().first ? ms % rows.back().first : 0;
    auto hi =
        std::upper_bound(rows.begin(), rows.end(), t, [](uint64_t x, const auto& r) { return x < r.first; });
    if (hi == rows.begin()) return rows.front().second;
    if (hi == rows.end()) return rows.back().second;
    const auto lo = hi - 1;
    return lo->second +
           (hi->second - lo->second) * static_cast<double>(t - lo->first) / (hi->first - lo->first);
}

bool parseStimulus(const std::string& text, const std::string& dir, Stimulus* out, std::string* error) {
    std::istringstream in(text);
    std::string kind;
    in >> kind;
    Stimulus s;
    double period = 0;
    bool ok;
    if (kind == "const") {
        ok = number(in, &s.a);
    } else if (kind == "csv") {
        std::string file;
        in >> file;
        if (file.empty()) {
            *error = "csv needs a file";
            return false;
        }
        s.kind = Stimulus::Recorded;
        if (!readRows(file[0] == '/' ? file : dir + "/" + file, &s, error)) return false;
        ok = true;
    } else {
        s.kind = kind == "sine" ? Stimulus::Sine : kind == "square" ? Stimulus::Square : Stimulus::Triangle;
        ok = (kind == "sine" || kind == "square" || kind == "triangle") && number(in, &s.a) &&
             number(in, &s.b) && number(in, &period) && period >= 1 && period <= 3600000 &&
             period == std::floor(period);
        if (ok) s.periodMs = static_cast<uint32_t>(period); // only a checked period converts
    }
    std::string rest;
    if (!ok || in >> rest) {
        *error = "'" + text +
                 "' is not one of: const V, sine OFFSET AMPLITUDE PERIOD_MS, square LOW HIGH "
                 "PERIOD_MS, triangle LOW HIGH PERIOD_MS, csv FILE";
        return false;
    }
    *out = s;
    return true;
}

bool parseStimulusList(const std::string& text, const std::string& dir,
                       std::vector<std::pair<int, Stimulus>>* out, std::string* error) {
    std::vector<std::pair<int, Stimulus>> list;
    std::istringstream items(text);
    for (std::string item; std::getline(items, item, ',');) {
        std::istringstream in(item);
        int channel = -1;
        std::string rest;
        if (!(in >> channel) || channel < 0 || channel >= zynq::ADC_CHANNELS) {
            *error = "'" + item + "' does not start with a channel from 0 to 31";
            return false;
        }
        std::getline(in, rest);
        Stimulus s;
        if (!parseStimulus(rest, dir, &s, error)) return false;
        list.emplace_back(channel, s);
    }
    *out = list;
    return true;
}

bool setAdcStimulus(int channel, const Stimulus& s) {
    if (channel < 0 || channel >= zynq::ADC_CHANNELS) return false;
    if (s.kind == Stimulus::Recorded ? s.rows.empty() : s.periodMs == 0) return false;
    std::lock_guard<PiMutex> g(windowsMutex);
    if (!windowOf(zynq::ADC_BASE)) return false;
    analog[channel].source = s;
    analog[channel].raw = false;
    convert(channel, true);
    return true;
}

bool setAdcRaw(int channel, uint16_t filtered, uint16_t unfiltered) {
    if (channel < 0 || channel >= zynq::ADC_CHANNELS) return false;
    std::lock_guard<PiMutex> g(windowsMutex);
    if (!windowOf(zynq::ADC_BASE)) return false;
    analog[channel].raw = true;
    store(zynq::ADC_BASE, zynq::ADC_REG_FILTERED + 4u * channel, filtered);
    store(zynq::ADC_BASE, zynq::ADC_REG_UNFILTERED + 4u * channel, unfiltered);
    return true;
}

bool setAdcWiring(int channel, Wiring w) {
    if (channel < 0 || channel >= 16) return false;
    std::lock_guard<PiMutex> g(windowsMutex);
    analog[channel].wiring = w;
    convert(channel, true);
    return true;
}

bool adcPullup(int channel) {
    if (channel < 0 || channel >= 16) return false;
    std::lock_guard<PiMutex> g(windowsMutex);
    return pullupOn(channel);
}

bool setRevFrequency(int channel, double hz) {
    if (channel < 0 || channel >= zynq::REV_CHANNELS || !(hz >= 0.0) || hz > 1e6) return false;
    std::lock_guard<PiMutex> g(windowsMutex);
    if (!windowOf(zynq::ROT_SPEED_BASE)) return false;
    store(zynq::ROT_SPEED_BASE, zynq::REV_REG_PERIOD + 4u * channel,
          hz > 0.0 ? static_cast<uint32_t>(std::lround(1e6 / hz)) : 0);
    return true;
}

bool pwmOutput(int channel, double* dutyPercent, double* frequencyHz) {
    if (channel < 0 || channel >= zynq::PWM_CHANNELS) return false;
    std::lock_guard<PiMutex> g(windowsMutex);
    if (!windowOf(zynq::PWM_OUT_BASE)) return false;
    const uint32_t period = load(zynq::PWM_OUT_BASE, zynq::PWM_REG_PERIOD + 8u * channel);
    const uint32_t high = load(zynq::PWM_OUT_BASE, zynq::PWM_REG_HIGH + 8u * channel);
    const bool on = (load(zynq::PWM_OUT_BASE, zynq::PWM_REG_CONTROL) & 1) && period;
    *dutyPercent = on ? 100.0 * std::min(high, period) / period : 0.0;
    *frequencyHz = on ? zynq::PWM_CLOCK_HZ / period : 0.0;
    return true;
}

bool setPwmFault(int channel, bool fault) {
    if (channel < 0 || channel >= zynq::PWM_CHANNELS) return false;
    std::lock_guard<PiMutex> g(windowsMutex);
    if (!windowOf(zynq::PWM_OUT_BASE)) return false;
    const uint32_t bits = load(zynq::PWM_OUT_BASE, zynq::PWM_REG_FAULT);
    store(zynq::PWM_OUT_BASE, zynq::PWM_REG_FAULT, fault ? bits | 1u << channel : bits & ~(1u << channel));
    return true;
}

bool setDigitalIn(int channel, bool level) {
    if (channel < 0 || channel >= zynq::GPIO_DIN_COUNT) return false;
    const uint32_t bit = 1u << channel;
    if (level)
        pinsIn[zynq::GPIO_DIN_BANK] |= bit;
    else
        pinsIn[zynq::GPIO_DIN_BANK] &= ~bit;
    return true;
}

bool digitalOut(int channel) {
    if (channel < 0 || channel >= zynq::GPIO_DOUT_COUNT) return false;
    std::lock_guard<PiMutex> g(windowsMutex);
    if (!windowOf(zynq::GPIO_BASE)) return false;
    const int bank = zynq::GPIO_DOUT_BANK;
    const uint32_t driven =
        load(zynq::GPIO_BASE, zynq::GPIO_DIRM(bank)) & load(zynq::GPIO_BASE, zynq::GPIO_OEN(bank));
    return (driven & load(zynq::GPIO_BASE, zynq::GPIO_DATA(bank))) >> channel & 1;
}

bool setXadcWord(uintptr_t offset, uint32_t value) {
    for (const zynq::XadcReg& r : zynq::XADC_REGS) {
        if (r.offset != offset) continue;
        std::lock_guard<PiMutex> g(windowsMutex);
        if (!windowOf(zynq::XADC_BASE)) return false;
        store(zynq::XADC_BASE, offset, value);
        return true;
    }
    return false;
}

bool setFpgaIdentity(uint32_t id, uint32_t version) {
    std::lock_guard<PiMutex> g(windowsMutex);
    if (!windowOf(zynq::FPGA_IDENT_BASE)) return false;
    store(zynq::FPGA_IDENT_BASE, zynq::FPGA_IDENT_REG_ID, id);
    store(zynq::FPGA_IDENT_BASE, zynq::FPGA_IDENT_REG_VERSION, version);
    return true;
}

bool ledColour(int position, int led, uint32_t* rgb) {
    if (position < 1 || position > zynq::LED_MODULES || led < 0 || led >= zynq::LED_PER_MODULE) return false;
    std::lock_guard<PiMutex> g(windowsMutex);
    if (!windowOf(zynq::LED_ARRAY_BASE)) return false;
    const uintptr_t at =
        zynq::LED_REG_RGB + 4u * static_cast<uintptr_t>(zynq::LED_PER_MODULE * (position - 1) + led);
    *rgb = (load(zynq::LED_ARRAY_BASE, zynq::LED_REG_CONTROL) & 1) ? load(zynq::LED_ARRAY_BASE, at) & 0xFFFFFF
                                                                   : 0;
    return true;
}

uint64_t adcStarts() {
    return adcStartCount.load();
}

} // namespace hwsim
