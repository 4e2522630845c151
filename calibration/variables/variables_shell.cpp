// The shell commands "getvar" and "setvar" on the NV-backed variables.
#include "calibration/variables/variables.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int readVariableFunc(int argc, char** argv) {
    if (argc != 2) {
        std::printf("usage: getvar <variable>\n");
        return 0;
    }
    float value;
    if (variables_getValue(argv[1], &value))
        std::printf("value: %12.6f\n", static_cast<double>(value));
    else
        std::printf("variable %s not found\n", argv[1]);
    return 0;
}

int writeVariableFunc(int argc, char** argv) {
    if (argc != 3) {
        std::printf("usage: setvar <variable> <value>\n");
        return 0;
    }
    float old;
    if (!variables_getValue(argv[1], &old)) {
        std::printf("variable %s not found\n", argv[1]);
        return 0;
    }
    // A text that is not wholly a decimal number sets nothing.
    const char* text = argv[2];
    char* end = nullptr;
    const double d = std::strtod(text, &end);
    const bool hex = std::strpbrk(text, "xX") != nullptr;
    const float value = static_cast<float>(d);
    const bool ok =
        end != text && *end == 0 && !hex && std::isfinite(value) && variables_write(argv[1], value);
    std::printf(ok ? "ok\n" : "error\n");
    return 0;
}
