// The simulated board (platform side): a device at every block of the address map, and the
// inputs tests and tools set. Never included by application code.
#pragma once

#include "platform/hw/zynq_map.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace hwsim {

// Puts a zero-filled register window at every block of the board (again after a removal).
void installBoard();
// Takes the board's device at `base` away; false when no board block starts there.
bool removeBoardDevice(uintptr_t base);

// The board's surroundings, as tests and tools set them; installBoard restores the
// power-on state (supply, temperature and sensor supplies nominal, power-good and 12 V status
// high, the identity words of the cores this board carries). False for a channel or
// register the board does not have.
bool setAdcChannel(int channel, double volts); // a constant source: filtered and unfiltered at once

// What drives an analog input, in volts against the tick count (milliseconds): a constant,
// a sine (offset, amplitude, period), a square or a triangle (low, high, period), or the rows
// "milliseconds,volts" of a recorded CSV file, interpolated and repeated after the last row.
struct Stimulus {
    enum Kind { Constant, Sine, Square, Triangle, Recorded } kind = Constant;
    double a = 0.0, b = 0.0;
    uint32_t periodMs = 1;
    std::vector<std::pair<uint32_t, double>> rows;
    double at(uint64_t ms) const;
};
// "const V", "sine OFFSET AMPLITUDE PERIOD_MS", "square LOW HIGH PERIOD_MS",
// "triangle LOW HIGH PERIOD_MS" or "csv FILE" (relative to `dir`; a regular file, opened without
// waiting, lines of at most 1024 characters); false with the reason.
bool parseStimulus(const std::string& text, const std::string& dir, Stimulus* out, std::string* error);
// A comma list of "CHANNEL STIMULUS".
bool parseStimulusList(const std::string& text, const std::string& dir,
                       std::vector<std::pair<int, Stimulus>>* out, std::string* error);
// Each tick the unfiltered result follows the stimulus and the filtered one follows it by a
// first-order low pass (a quarter of the step per millisecond).
bool setAdcStimulus(int channel, const Stimulus& s);
// Result registers as raw counts, held until a stimulus is set again.
bool setAdcRaw(int channel, uint16_t filtered, uint16_t unfiltered);

// How analog input 0 to 15 is wired: to its source, open (the pull-up, when on, pulls it to
// 5 V, else it reads 0 V), shorted to ground, or to the battery (the input protection limits
// it to 5 V).
enum class Wiring { Good, Open, ShortGround, ShortBattery };
bool setAdcWiring(int channel, Wiring w);
// Whether the port expander switches the pull-up of analog input 0 to 15 on.
bool adcPullup(int channel);

// Rotational-speed input 0 to 3: a square signal of `hz` (0: none).
bool setRevFrequency(int channel, double hz);
// Duty (percent) and frequency (Hz) PWM output 0 to 7 drives; both 0 while it is off.
bool pwmOutput(int channel, double* dutyPercent, double* frequencyHz);
bool setPwmFault(int channel, bool fault);
bool setDigitalIn(int channel, bool level);
// The level digital output `channel` drives; false while it is not driven (an input).
bool digitalOut(int channel);
bool setXadcWord(uintptr_t offset, uint32_t value);
bool setFpgaIdentity(uint32_t id, uint32_t version);
// The colour (0x00RRGGBB) LED 0 to 9 of module position 1 to 3 shows; 0 while the core does
// not drive the LEDs.
bool ledColour(int position, int led, uint32_t* rgb);
// Runs `fn` with the board's registers locked, as a register access or the tick holds them (tests
// of who waits behind them).
void withRegistersLocked(const std::function<void()>& fn);
// Times the analog-input converter was switched on (control bit 0 from clear to set).
uint64_t adcStarts();

// What the board carries after installBoard.
constexpr uint32_t BOARD_FPGA_ID = 0x45434656;      // "ECFV"
constexpr uint32_t BOARD_FPGA_VERSION = 0x10100000; // 1.01.0
constexpr uint32_t BOARD_ADC_ID = 0x4D616463;       // "Madc"
constexpr uint32_t BOARD_ADC_VERSION = 0x0001030D;
constexpr uint32_t BOARD_REV_ID = 0x4D726576; // "Mrev"
constexpr uint32_t BOARD_REV_VERSION = 0x00010000;
constexpr uint32_t BOARD_PWM_ID = 0x4D70776D; // "Mpwm"
constexpr uint32_t BOARD_PWM_VERSION = 0x00010000;
constexpr uint32_t BOARD_LED_ID = 0x4D6C6564; // "Mled"
constexpr uint32_t BOARD_LED_VERSION = 0x00010000;

} // namespace hwsim
