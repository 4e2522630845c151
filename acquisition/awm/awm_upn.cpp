// The reverse-Polish formula engine of the channel functions. Tokens are 5 bytes: u8 opcode,
// 4-byte little-endian operand. A formula ends at opcode 0xFF or when fewer than 5 bytes remain;
// its result is the top of the stack (0 for an empty one). Each opcode is one row of OPCODES:
// how many values it pops, how many memory cells it keeps, what it pushes.
//
// Stateful tokens have their own memory cells in token order; without memory they act as at a
// first evaluation. A stack fault (more than 16 values, or an operator short of operands) or an
// unknown opcode gives 0 and a log line.
#include "acquisition/awm/awm_private.h"

#include "services/syslog/syslog.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace {

constexpr int STACK = 16;
constexpr uint32_t TOKEN = 5;

// What one token works on: a and b popped (b the later push), c popped below a (0x43 only).
struct Step {
    uint32_t operand;
    double a, b, c;
    double* cell; // the token's memory cells
    bool fresh;   // first evaluation, or no memory: the cells hold nothing yet
    bool first;
    double dt; // seconds since the previous evaluation (0 at the first)
    uint32_t ts;
    const double* inputs;
};

double asFloat(uint32_t w) {
    float f;
    std::memcpy(&f, &w, 4);
    return f;
}

struct Opcode {
    uint8_t code;
    uint8_t pops;
    uint8_t cells;
    double (*eval)(Step& s);
};

constexpr Opcode OPCODES[] = {
    // the operand as float, signed and unsigned 32-bit; 1 when as float it is not 0
    {0x00, 0, 0, [](Step& s) { return asFloat(s.operand); }},
    {0x01, 0, 0, [](Step& s) -> double { return static_cast<int32_t>(s.operand); }},
    {0x02, 0, 0, [](Step& s) -> double { return s.operand; }},
    {0x03, 0, 0, [](Step& s) { return asFloat(s.operand) != 0.0 ? 1.0 : 0.0; }},
    // inputs 1 to 4
    {0x10, 0, 0, [](Step& s) { return s.inputs[0]; }},
    {0x11, 0, 0, [](Step& s) { return s.inputs[1]; }},
    {0x12, 0, 0, [](Step& s) { return s.inputs[2]; }},
    {0x13, 0, 0, [](Step& s) { return s.inputs[3]; }},
    // arithmetic, then comparisons and logic (1 or 0)
    {0x20, 2, 0, [](Step& s) { return s.a + s.b; }},
    {0x21, 2, 0, [](Step& s) { return s.a - s.b; }},
    {0x22, 2, 0, [](Step& s) { return s.a * s.b; }},
    {0x23, 2, 0, [](Step& s) { return s.a / s.b; }},
    {0x24, 1, 0, [](Step& s) { return -s.b; }},
    {0x25, 1, 0, [](Step& s) { return std::fabs(s.b); }},
    {0x26, 2, 0, [](Step& s) { return std::min(s.a, s.b); }},
    {0x27, 2, 0, [](Step& s) { return std::max(s.a, s.b); }},
    {0x28, 1, 0, [](Step& s) { return std::sqrt(s.b); }},
    {0x30, 2, 0, [](Step& s) -> double { return s.a < s.b; }},
    {0x31, 2, 0, [](Step& s) -> double { return s.a <= s.b; }},
    {0x32, 2, 0, [](Step& s) -> double { return s.a > s.b; }},
    {0x33, 2, 0, [](Step& s) -> double { return s.a >= s.b; }},
    {0x34, 2, 0, [](Step& s) -> double { return s.a == s.b; }},
    {0x35, 2, 0, [](Step& s) -> double { return s.a != s.b; }},
    {0x40, 2, 0, [](Step& s) -> double { return s.a != 0 && s.b != 0; }},
    {0x41, 2, 0, [](Step& s) -> double { return s.a != 0 || s.b != 0; }},
    {0x42, 1, 0, [](Step& s) -> double { return s.b == 0; }},
    {0x43, 3, 0, [](Step& s) { return s.c != 0 ? s.a : s.b; }}, // c ? a : b
    // seconds since the previous evaluation; 1 at the first evaluation
    {0xA3, 0, 0, [](Step& s) { return s.dt; }},
    {0xA4, 0, 0, [](Step& s) { return s.first ? 1.0 : 0.0; }},
    // previous value of b (b itself at the first evaluation)
    {0xA0, 1, 1,
     [](Step& s) {
         const double r = s.fresh ? s.b : s.cell[0];
         s.cell[0] = s.b;
         return r;
     }},
    // integral of b over time in seconds
    {0xA1, 1, 1, [](Step& s) { return s.cell[0] = (s.fresh ? 0.0 : s.cell[0]) + s.b * s.dt; }},
    // derivative of b per second (0 at the first evaluation)
    {0xA2, 1, 1,
     [](Step& s) {
         const double r = s.fresh || s.dt == 0 ? 0.0 : (s.b - s.cell[0]) / s.dt;
         s.cell[0] = s.b;
         return r;
     }},
    // seconds since the first raster timestamp of the process; a formula set up before the first
    // raster pass (or one without memory) takes that timestamp once the process has one
    {0xA5, 0, 1,
     [](Step& s) {
         if (s.cell[0] == 0) s.cell[0] = awm_firstTimestamp.load();
         return static_cast<uint32_t>(s.ts - awm_to_u32(s.cell[0])) * 1e-4;
     }},
    // largest and smallest b so far, sum of b, count of evaluations with b not 0
    {0xA6, 1, 1, [](Step& s) { return s.cell[0] = s.fresh ? s.b : std::max(s.cell[0], s.b); }},
    {0xA7, 1, 1, [](Step& s) { return s.cell[0] = s.fresh ? s.b : std::min(s.cell[0], s.b); }},
    {0xA8, 1, 1, [](Step& s) { return s.cell[0] = (s.fresh ? 0.0 : s.cell[0]) + s.b; }},
    {0xA9, 1, 1, [](Step& s) { return s.cell[0] = (s.fresh ? 0.0 : s.cell[0]) + (s.b != 0 ? 1 : 0); }},
    // b through a first-order lag with time constant a in seconds (b at the first)
    {0xAA, 2, 1,
     [](Step& s) {
         return s.cell[0] =
                    s.fresh ? s.b : s.cell[0] + (s.b - s.cell[0]) * std::min(1.0, s.a > 0 ? s.dt / s.a : 1.0);
     }},
    // rising edges of b: count, previous level, level-seen flag
    {0xAB, 1, 3,
     [](Step& s) {
         if (s.cell[2] != 0 && s.cell[1] == 0 && s.b != 0) s.cell[0] += 1;
         s.cell[1] = s.b != 0;
         s.cell[2] = 1;
         return s.cell[0];
     }},
};

constexpr uint8_t NONE = 0xFF;
constexpr std::array<uint8_t, 256> ROW = [] {
    std::array<uint8_t, 256> row{};
    row.fill(NONE);
    for (uint8_t i = 0; i < std::size(OPCODES); ++i)
        row[OPCODES[i].code] = i;
    return row;
}();

const Opcode* opcodeOf(uint8_t code) {
    return ROW[code] == NONE ? nullptr : &OPCODES[ROW[code]];
}

uint16_t cellsOf(uint8_t code) {
    const Opcode* o = opcodeOf(code);
    return o ? o->cells : 0;
}

} // namespace

uint16_t awm_man_upn_memsize(const uint8_t* tokens, uint16_t size) {
    uint16_t n = 0;
    for (uint32_t p = 0; tokens && p + TOKEN <= size && tokens[p] != 0xFF; p += TOKEN)
        n = static_cast<uint16_t>(n + cellsOf(tokens[p]));
    return n;
}

void awm_man_upn_init(const uint8_t* tokens, uint16_t size, awm_upn_mem* mem) {
    if (!mem || !mem->cells) return;
    uint16_t cell = 0;
    for (uint32_t p = 0; tokens && p + TOKEN <= size && tokens[p] != 0xFF; p += TOKEN) {
        const uint16_t n = cellsOf(tokens[p]);
        for (uint16_t i = 0; i < n && cell < mem->count; ++i, ++cell)
            mem->cells[cell] = tokens[p] == 0xA5 ? static_cast<double>(awm_firstTimestamp.load()) : 0.0;
    }
}

double awm_man_upn_calc(const uint8_t* tokens, uint16_t size, uint16_t, awm_upn_mem* mem, uint32_t prevTs,
                        uint32_t ts, double in1, double in2, double in3, double in4, uint8_t first) {
    if (!tokens || size < TOKEN) return 0.0;
    double stack[STACK];
    int sp = 0;
    uint16_t cell = 0;
    const double inputs[4] = {in1, in2, in3, in4};
    Step s{};
    s.first = first != 0;
    s.dt = first ? 0.0 : static_cast<uint32_t>(ts - prevTs) * 1e-4;
    s.ts = ts;
    s.inputs = inputs;
    for (uint32_t p = 0; p + TOKEN <= size && tokens[p] != 0xFF; p += TOKEN) {
        const uint8_t op = tokens[p];
        const Opcode* o = opcodeOf(op);
        // Memory cells of this token (a scratch set without memory).
        double scratch[3] = {0, 0, 0};
        const uint16_t need = o ? o->cells : 0;
        const bool remembered = mem && mem->cells && cell + need <= mem->count;
        s.cell = remembered ? mem->cells + cell : scratch;
        cell = static_cast<uint16_t>(cell + need);
        s.fresh = first || !remembered;
        const int pops = o ? o->pops : 0;
        if (sp < pops || (pops == 0 && sp >= STACK)) {
            SYSLOGX_GUARDED(LOG_ERR, "awm_man_upn_calc: stack fault at token %u (opcode 0x%02X)",
                            static_cast<unsigned>(p / TOKEN), op);
            return 0.0;
        }
        if (!o) {
            SYSLOGX_GUARDED(LOG_ERR, "awm_man_upn_calc: unknown opcode 0x%02X at token %u", op,
                            static_cast<unsigned>(p / TOKEN));
            return 0.0;
        }
        s.operand = awm_rd<uint32_t>(tokens, p + 1);
        s.b = pops ? stack[sp - 1] : 0.0;
        s.a = pops >= 2 ? stack[sp - 2] : 0.0;
        s.c = pops >= 3 ? stack[sp - 3] : 0.0;
        sp -= pops;
        stack[sp++] = o->eval(s);
    }
    return sp ? stack[sp - 1] : 0.0;
}
