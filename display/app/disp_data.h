// Channel values of the display: what an element asks for (CData), the raw value of one
// measured channel (CDataMeas) and the gateway client that feeds them (CDataManager).
//
// Elements that read the same channel (address, type, mask) share one raw holder, so every
// channel is requested once; each CData quantises and formats for its own element.
#pragma once

#include "comm/gw/gw.h"
#include "display/config/display_cfg.h"
#include "platform/os/os.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

enum CDataType_t : uint32_t { CDATA_VALUE = 0, CDATA_VIS = 1, CDATA_CFG = 2 };

// Value types on the gateway; GWT_NONE: none of them.
enum : uint32_t { GWT_S8, GWT_U8, GWT_S16, GWT_U16, GWT_S32, GWT_U32, GWT_FLOAT, GWT_BOOL, GWT_NONE = 255 };
// Text mode of the visibility channels.
constexpr uint32_t DISPMODE_VISIBILITY = 8;

// Conversions of channel values that may be NaN or out of range: NaN gives 0, the rest
// saturates. Rounding is half away from zero.
int32_t disp_satInt(double v);
uint32_t disp_satUint(double v);
int32_t disp_roundInt(double v);
uint32_t disp_roundUint(double v);

// The raw value of one channel, written by the gateway task and read by the GUI task and the
// display control task.
class CDataMeas {
  public:
    // Throws std::bad_alloc when the lock cannot be made.
    CDataMeas(uint32_t adr, uint32_t mask, uint32_t type);
    ~CDataMeas();
    CDataMeas(const CDataMeas&) = delete;
    CDataMeas& operator=(const CDataMeas&) = delete;

    // Decodes the big-endian value at p by type.
    void putData(const uint8_t* p);
    bool getRawData(uint32_t& out);
    bool getRawData(int32_t& out);
    bool getRawData(double& out);
    bool getMeasUpdateState() const { return updated.load() != 0; }
    void setTimeout() { updated.store(0); }
    // Counts the values put; readers tell a fresh value by it.
    uint32_t sequence() const { return seq.load(); }
    int width() const;
    // Given after every value put (the page and brightness control waits on it).
    void setWatcher(SEM_ID sem) { watcher.store(sem); }

    CDataMeas* next = nullptr; // chain of its list
    CDataMeas* all = nullptr;  // every holder of the manager
    uint32_t adr;
    uint32_t mask;
    uint32_t type;
    uint8_t shift;

  private:
    SEM_ID lock;
    std::atomic<uint32_t> updated{0};
    std::atomic<uint32_t> seq{0};
    std::atomic<SEM_ID> watcher{nullptr};
    uint32_t word = 0;
    double dbl = 0.0;
};

class CData {
  public:
    CData(const display_elem_s* e, CDataType_t role);
    explicit CData(const awm_meas_in* in);
    CData(const CData&) = delete;
    CData& operator=(const CData&) = delete;

    static uint32_t convDataType(uint16_t type);
    static bool containsMeasChan(const display_elem_s* e);
    static bool containsVisChan(const display_elem_s* e);
    // Same channel: address, type and mask.
    bool isEqualData(const CData* other) const;
    void setMeas(CDataMeas* m) { meas = m; }
    CDataMeas* getMeas() const { return meas; }

    // Quantises the holder's raw value with this record's coefficients.
    void updateData();
    // The element's text for the value (empty while it is invalid); out holds outSize bytes.
    void getDataStr(const char* fmt, char* out, size_t outSize) const;
    bool getQuantData(double& v) const;
    bool getQuantData(int32_t& v) const;
    bool getQuantData(uint32_t& v) const;
    // A value arrived and was not declared stale since; false without holder.
    bool getMeasUpdateState() const { return meas && meas->getMeasUpdateState(); }
    // Valid and a number.
    bool isValid() const;
    void setTimeout() {
        if (meas) meas->setTimeout();
    }
    // True once per value put since the last call (the holder may be shared, so readers keep
    // their own mark instead of clearing its flag).
    bool takeNewValue();

    CData* next = nullptr;
    uint32_t adr = 0;
    uint32_t mask = 0;
    uint8_t shift = 0;
    uint32_t type = GWT_NONE;
    float quant[6] = {0, 1, 0, 0, 0, 1};
    const vtab_s* vtab = nullptr;
    uint32_t dispmode = 0;
    CDataType_t role;
    double value = 0.0;

  private:
    void take(const awm_meas_in& in);
    CDataMeas* meas = nullptr;
    uint32_t seen = 0;
    mutable bool fmtLogged = false;
};

// Formats value (mode 1) or text (modes 2 to 7) through the configured format: each piece ends
// after a byte 0x81; a piece holding a conversion the mode does not allow is copied literally
// (logged once per *logged flag). Returns the characters written; out is always terminated.
int disp_formatPieces(char* out, size_t size, const char* fmt, uint32_t dispmode, double value,
                      const char* text, bool* logged = nullptr);

class CDataManager;

// One measurement list: the holders of one device and raster, grouped by value width.
struct CDataList {
    CDataList(CDataManager* m, uint16_t pid, uint16_t raster);
    uint16_t pid;
    uint16_t raster;
    CDataMeas* chain[3] = {}; // 4-, 2- and 1-byte values
    uint16_t count[3] = {};
    std::atomic<uint16_t> state{0}; // 0 created, 1 started, 2 stopping, 3 stopped
    CDataList* next = nullptr;
    int32_t* request = nullptr;
    uint16_t requestSize = 0; // words while registering, bytes once built
    uint16_t requestLimit = 464;
    uint16_t dataSize = 0;
    std::atomic<uint16_t> consecutiveTimeouts{0};
    std::atomic<uint16_t> timeouts{0};
    std::atomic<uint8_t> online{0};
    uint32_t magic = 0;
    CDataManager* manager;
};

// The gateway calls the manager makes; tests put a fake in.
struct DispGatewayOps {
    gw_client_t* (*connect)(const gw_callbacks_t*);
    uint32_t (*setupList)(gw_client_t*, const int32_t*, uintptr_t, uint16_t, uint16_t, uint16_t, uint16_t,
                          uint16_t, uint16_t, uint16_t, uint16_t, uint32_t);
    void (*startAll)(gw_client_t*);
    int (*disconnect)(gw_client_t*);
};
// Null restores the measurement gateway.
void CDataManager_setGateway(const DispGatewayOps* ops);

class CDataManager {
  public:
    CDataManager();
    // Stops the measurement first when it still runs.
    ~CDataManager();
    CDataManager(const CDataManager&) = delete;
    CDataManager& operator=(const CDataManager&) = delete;

    CData* addData(const display_elem_s* e, uint16_t raster, CDataType_t role);
    void addData(CData* d, uint16_t raster);
    void createMeaslists();
    void startMeasurement();
    // Kills the lists on the gateway, disconnects and frees every list, holder and record.
    void stopMeasurement();
    void readCyclic(uint32_t status, const void* entry, CDataList* list);
    void getStatus(bool* allOnline, bool* anyOnline, uint16_t* least, uint16_t* most, uint32_t* total,
                   uint32_t* devices) const;

    CDataList* lists() const { return mLists; }
    CData* records() const { return mRecords; }
    uint16_t listCount() const { return mListCount; }

  private:
    std::atomic<uint16_t> mTotalTimeouts{0};
    std::atomic<uint32_t> mTimeoutDevices{0};
    CDataList* mLists = nullptr;
    CData* mRecords = nullptr;
    CDataMeas* mHolders = nullptr;
    uint16_t mListCount = 0;
    gw_client_t* mGateway = nullptr;
};

// The gateway callbacks (user: the CDataList).
int c2cpp_readCyclic(uint32_t status, const void* entry, uintptr_t user);
int c2cpp_stopMeas(uint32_t status, const void* data, uintptr_t user);
int c2cpp_startMeas(uint32_t status, const void* latency, uintptr_t user);
