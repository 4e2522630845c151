// The control socket "vyn.ctl" through which tests and tools drive a running unit.
//
// The control channel: a UNIX stream socket "vyn.ctl" in the unit directory through which
// tests and tools drive a running unit. One command per line, one reply line per command,
// "ok ..." or "error ..." (a blank line too). The application never uses it.
//
// At most 16 connections are served at once; a further one, or one that finds the process out
// of descriptors, gets one error line and is closed, but a postrun it sends at once is still
// carried out. A client that does not read its replies for 5 s loses its connection.
//
//   step N                   advance stepped time by N ticks, at most 10000 per command;
//                            replies the tick reached
//   ticks                    the current tick
//   postrun                  give the application's post-run semaphore
//   fault CALL RESULT [N]    the next N calls (default 1, -1 for ever, 0 clears) of manager
//                            call CALL return RESULT
//   hwremove ADDRESS         take the board's device at ADDRESS (hex) away
//   status FIELD [VALUE]     set a field of the shared status block (sysproc::setStatus), or
//                            read it; "status blink" reads the application's blink word
//   adc CHANNEL VOLTS        put VOLTS on channel 0 to 31 of the analog-input core
//   adcstim CHANNEL STIMULUS drive a channel: const V, sine OFFSET AMPLITUDE PERIOD_MS,
//                            square|triangle LOW HIGH PERIOD_MS, csv FILE (a regular file of
//                            rows "ms,volts", lines of at most 1024 characters)
//   adcraw CHANNEL F U       hold the filtered and unfiltered results as counts (hex)
//   adcwire CHANNEL WIRING   analog input 0 to 15 good, open, gnd or bat (shorted)
//   pullup CHANNEL           "ok 1" while the pull-up of analog input 0 to 15 is on
//   rev CHANNEL HZ           a square signal on rotational-speed input 0 to 3
//   pwm CHANNEL              "ok DUTY HZ" of PWM output 0 to 7
//   din CHANNEL LEVEL        set digital input 0 to 8 low (0) or high (1)
//   leds                     the 30 LEDs of the LED array as RRGGBB: modules top, left and
//                            right, LEDs 0 to 9 each (000000 while the array is not driven)
//   dout CHANNEL             the level digital output 0 to 11 drives (0 when not driven)
//   xadc REGISTER VALUE      set a chip-monitor word (temp, temp_min, temp_max, vccint ...)
//   fpgaid ID VERSION        set the identification and version words of the FPGA (hex)
//   tasks                    names of the OS-layer tasks
//   late TASK                "ok SAMPLES P50 P99 MAX LATE": the task's release lateness (us, each
//                            release from its own tick) since the previous "late" of it, the
//                            first starting the count; LATE: releases later than one tick
//   shell COMMAND [ARGS...]  types the command into the process shell; replies the result
//                            and the printed text, "\n", "\\" and "\xHH" escaped
//   quit                     close this connection
#pragma once

#include <string>

namespace control {

constexpr const char* SOCKET_NAME = "vyn.ctl";

// Binds the socket in `unitDir`; `index` is the process index (names the post-run semaphore).
// Fails, touching nothing, when another unit already listens there. Clients wait until start.
bool claim(const std::string& unitDir, unsigned index, std::string* error);
// Claims the directory unless claimed, then serves clients.
bool start(const std::string& unitDir, unsigned index, std::string* error);
// Closes the channel and every connection, removes the socket file.
void stop();

// Gives the application's post-run semaphore (the command "postrun"); false with the reason
// before the application opened it.
bool postrun(std::string* error);

// Runs one command line; sets *closeConnection for "quit".
std::string execute(const std::string& line, bool* closeConnection);

} // namespace control
