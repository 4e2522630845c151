#include "calibration/conv/conv.h"

#include "calibration/block/word.h"
#include "calibration/memory/seram.h"
#include "services/syslog/syslog.h"

#include <atomic>
#include <cmath>
#include <cstring>

namespace {

convEntry_t* convAddrMap[CONV_PAGES];
uint32_t convMap_maxAddr[CONV_PAGES];
convRule_t convList[CONV_RULES];
uint32_t u32_data_conversion_tab_size;
std::atomic<uint8_t> nanLogSite;

constexpr float FLT_LIMIT = 3.40282347e38f;
const float minTab[CONV_TYPE_COUNT] = {0.0f, 0.0f,           -128.0f,    0.0f,      -32768.0f,
                                       0.0f, -2147483648.0f, -FLT_LIMIT, -FLT_LIMIT};
const float maxTab[CONV_TYPE_COUNT] = {1.0f,          255.0f,        127.0f,    65535.0f, 32767.0f,
                                       4294967296.0f, 2147483648.0f, FLT_LIMIT, FLT_LIMIT};
// What the integer outputs can hold: the float maxima of u32 and s32 lie one beyond.
const double intMin[CONV_TYPE_COUNT] = {0, 0, -128, 0, -32768, 0, -2147483648.0};
const double intMax[CONV_TYPE_COUNT] = {1, 255, 127, 65535, 32767, 4294967295.0, 2147483647.0};

uint32_t pageOf(uint32_t address) {
    return (address >> 20) & 7;
}
uint32_t indexOf(uint32_t address) {
    return address & 0xFFFFF;
}

bool findRule(float offset, float factor, uint16_t* index) {
    for (uint32_t i = 0; i < u32_data_conversion_tab_size; ++i)
        if (convList[i].factor == factor && convList[i].offset == offset) {
            *index = static_cast<uint16_t>(i);
            return true;
        }
    return false;
}

// The sources are a partition's signals, written by its steps while this samples them.
template <typename T> float readAs(const void* p) {
    return static_cast<float>(seram_word::load<T>(p));
}

float readSource(const convEntry_t& e, bool* isNan) {
    *isNan = false;
    switch (e.srcType) {
    case CONV_BOOL:
    case CONV_U8:
        return readAs<uint8_t>(e.source);
    case CONV_S8:
        return readAs<int8_t>(e.source);
    case CONV_U16:
        return readAs<uint16_t>(e.source);
    case CONV_S16:
        return readAs<int16_t>(e.source);
    case CONV_U32:
        return readAs<uint32_t>(e.source);
    case CONV_S32:
        return readAs<int32_t>(e.source);
    case CONV_F32: {
        const float f = readAs<float>(e.source);
        *isNan = std::isnan(f);
        return f;
    }
    default: {
        const double d = seram_word::load<double>(e.source);
        *isNan = std::isnan(d);
        // Beyond the float range a double becomes an infinity, which the clamping then limits.
        if (std::fabs(d) > FLT_LIMIT) return d > 0 ? INFINITY : -INFINITY;
        return static_cast<float>(d);
    }
    }
}

template <typename T> void put(uint8_t* dst8, T v) {
    std::memcpy(dst8, &v, sizeof v);
}

void copyErrorPattern(void* dst, uint32_t size) {
    const uint32_t n = size < SERAM_ERROR_BYTES ? size : SERAM_ERROR_BYTES;
    seram_word::copy(dst, seramErrorToggle, n, false);
    std::memset(static_cast<uint8_t*>(dst) + n, 0, size - n);
}

} // namespace

float convCalc(const convRule_t* rule, float value) {
    return rule->offset + rule->factor * value;
}

bool appendConvRule(float offset, float factor, uint16_t* index) {
    if (findRule(offset, factor, index)) return true;
    if (u32_data_conversion_tab_size >= CONV_RULES) return false;
    convList[u32_data_conversion_tab_size] = convRule_t{factor, offset};
    *index = static_cast<uint16_t>(u32_data_conversion_tab_size++);
    return true;
}

bool convRegisterVirtualMeasTable(uint32_t page, convTable_t* table) {
    if (page >= CONV_PAGES) {
        syslogx(LOG_ERR, "convRegisterVirtualMeasTable(): Virtual page index too high");
        return false;
    }
    if (convAddrMap[page]) {
        syslogx(LOG_ERR, "convRegisterVirtualMeasTable(): Virtual page already in use");
        return false;
    }
    if (u32_data_conversion_tab_size >= CONV_RULES - 1) {
        syslogx(LOG_ERR, "convRegisterVirtualMeasTable(): Virtual page entries exceeded");
        return false;
    }
    if (!table || !table->entries || !table->count || !table->rules) {
        syslogx(LOG_ERR, "convRegisterVirtualMeasTable(): Virtual page %u has no table", page);
        return false;
    }
    const uint32_t count = *table->count;
    for (uint32_t i = 0; i < count; ++i) {
        const convEntry_t& e = table->entries[i];
        if (!e.source || e.srcType >= CONV_TYPE_COUNT || e.outType >= CONV_TYPE_COUNT) {
            syslogx(LOG_ERR, "convRegisterVirtualMeasTable(): Virtual page %u entry %u invalid", page, i);
            return false;
        }
    }
    // First every rule must find its place; only then are the entries rewritten, so that a
    // refusal leaves the partition's table and the shared rules as they were.
    const uint32_t rulesBefore = u32_data_conversion_tab_size;
    uint16_t shared;
    for (uint32_t i = 0; i < count; ++i) {
        const convRule_t& r = table->rules[table->entries[i].rule];
        if (!appendConvRule(r.offset, r.factor, &shared)) {
            u32_data_conversion_tab_size = rulesBefore;
            syslogx(LOG_ERR, "convRegisterVirtualMeasTable(): Virtual page entries exceeded");
            return false;
        }
    }
    for (uint32_t i = 0; i < count; ++i) {
        convEntry_t& e = table->entries[i];
        const convRule_t& r = table->rules[e.rule];
        findRule(r.offset, r.factor, &shared);
        e.rule = shared;
    }
    convMap_maxAddr[page] = count;
    convAddrMap[page] = table->entries;
    syslogx(LOG_INFO, "convRegisterVirtualMeasTable(): Successfully done. New table size: %d of %d",
            static_cast<int>(u32_data_conversion_tab_size), static_cast<int>(CONV_RULES));
    return true;
}

bool convCheckAdr(uint32_t address) {
    const uint32_t page = pageOf(address);
    if (!convAddrMap[page]) {
        syslogx(LOG_ERR, "conversion_checkadr(): Virtual page %d does not exist, measuring 0x%06X",
                static_cast<int>(page), address);
        return false;
    }
    if (indexOf(address) >= convMap_maxAddr[page]) {
        syslogx(LOG_ERR, "conversion_checkadr(): Virtual address does not exist, measuring 0x%06X", address);
        return false;
    }
    return true;
}

void convMeasType(float value, uint8_t* dst8, uint16_t rule, uint8_t outType) {
    float v = convCalc(&convList[rule], value);
    if (v < minTab[outType])
        v = minTab[outType];
    else if (v > maxTab[outType])
        v = maxTab[outType];
    std::memset(dst8, 0, 8);
    if (outType == CONV_F32) {
        put(dst8, v);
        return;
    }
    if (outType == CONV_F64) {
        put(dst8, static_cast<double>(v));
        return;
    }
    // Rounded half away from zero in double, where every float is exact; saturated to what
    // the type holds, so that no float reaches an integer it does not fit. NaN counts as 0.
    double r = 0.0;
    if (!std::isnan(v)) {
        const double d = v;
        r = std::trunc(d >= 0.0 ? d + 0.5 : d - 0.5);
        r = r < intMin[outType] ? intMin[outType] : r > intMax[outType] ? intMax[outType] : r;
    }
    const auto i = static_cast<int64_t>(r);
    switch (outType) {
    case CONV_BOOL:
        put<uint8_t>(dst8, i != 0 ? 1 : 0);
        break;
    case CONV_U8:
        put(dst8, static_cast<uint8_t>(i));
        break;
    case CONV_S8:
        put(dst8, static_cast<int8_t>(i));
        break;
    case CONV_U16:
        put(dst8, static_cast<uint16_t>(i));
        break;
    case CONV_S16:
        put(dst8, static_cast<int16_t>(i));
        break;
    case CONV_U32:
        put(dst8, static_cast<uint32_t>(i));
        break;
    default:
        put(dst8, static_cast<int32_t>(i));
        break;
    }
}

void convMeasCopy(uint32_t address, void* dst, uint32_t size) {
    const uint32_t page = pageOf(address), index = indexOf(address);
    if (!convAddrMap[page] || index >= convMap_maxAddr[page]) {
        copyErrorPattern(dst, size);
        return;
    }
    const convEntry_t& e = convAddrMap[page][index];
    bool isNan;
    const float raw = readSource(e, &isNan);
    if (isNan && syslogx_floodcheck(&nanLogSite))
        syslogx(LOG_ERR,
                "convMeasCopy(): NaN occured in measurement-label at address 0x%x, virtual A2L-address 0x%x",
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(e.source)), address);
    uint8_t result[8];
    convMeasType(raw, result, e.rule, e.outType);
    const uint32_t n = size < 8 ? size : 8;
    std::memcpy(dst, result, n);
    std::memset(static_cast<uint8_t*>(dst) + n, 0, size - n);
}

uint32_t convRuleCount() {
    return u32_data_conversion_tab_size;
}

void conv_reset() {
    for (uint32_t p = 0; p < CONV_PAGES; ++p) {
        convAddrMap[p] = nullptr;
        convMap_maxAddr[p] = 0;
    }
    u32_data_conversion_tab_size = 0;
    nanLogSite = 0;
}
