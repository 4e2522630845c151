// Non-volatile double store: every record kept twice, each copy guarded by a CRC.
//
// Non-volatile double store. Every record of every element is kept twice (mirrors A and B),
// each slot guarded by a CRC-16 and a write counter, so that a write cut by a power loss
// leaves the other mirror intact. The whole store lives in RAM: it is loaded once at start,
// reads come from RAM, and each write persists exactly one slot through the manager.
//
// Slot: u16 CRC, u16 write counter (host order), then the record padded with zeros to a
// multiple of 4. Record r of an element: mirror A at slot 2r, mirror B at slot 2r + 1.
// CRC-16-CCITT, MSB first, start 0xFFFF, over the element size (not the padding).
#pragma once

#include "platform/kmgr/calls.h"

#include <cstddef>
#include <cstdint>

struct nvram_elem_t {
    uint32_t id;
    uint32_t size;  // bytes of one record
    uint32_t count; // records
};

// ---- the elements (id, record size, record count) ----------------------------------------
// Clone region at 0x10000, elements in id order without gaps.
inline constexpr nvram_elem_t nvram_LapOutFra_Elem{0, 6, 2};
inline constexpr nvram_elem_t nvram_lapStackCnt{1, 4, 1};
inline constexpr nvram_elem_t nvram_lapStack{2, 6, 256};
inline constexpr nvram_elem_t nvram_lapfunc{3, 20, 1};
inline constexpr nvram_elem_t nvram_lapdist{4, 4, 1};
inline constexpr nvram_elem_t nvram_lapsegments{5, 8, 100};
inline constexpr nvram_elem_t nvram_fuelcons{6, 8, 1};
inline constexpr nvram_elem_t nvram_awmadj{7, 32, 256};
inline constexpr nvram_elem_t nvram_DispPage_Elem{8, 1, 1};
inline constexpr nvram_elem_t nvram_DispBright_Elem{9, 1, 1};
inline constexpr nvram_elem_t nvram_Annotation_Elem{10, 256, 1};
inline constexpr nvram_elem_t nvram_CARID_VYN_Elem{11, 32, 1};
inline constexpr nvram_elem_t nvram_RallyeSequence_Elem{12, 1, 1};
inline constexpr nvram_elem_t nvram_RallyeSwitch_Elem{13, 1, 1};
inline constexpr nvram_elem_t nvram_toggle_Elem{14, 1, 4};
inline constexpr nvram_elem_t nvram_DispBright_Duty_Elem{15, 4, 1};
inline constexpr nvram_elem_t nvram_DispBright_Freq_Elem{16, 4, 1};
inline constexpr nvram_elem_t nvram_DispPageSet_Elem{17, 1, 16};
inline constexpr nvram_elem_t nvram_GpsTrackDet_Elem{18, 4, 1};
inline constexpr nvram_elem_t nvram_GpsModule_Elem{19, 8, 10};
inline constexpr nvram_elem_t nvram_pin_cfg{20, 0, 0}; // no records: every access fails
inline constexpr nvram_elem_t nvram_Variables_Elem{21, 40, 32};
inline constexpr nvram_elem_t nvram_laplength{22, 4, 1};
// No-clone region at 0x7EC00.
inline constexpr nvram_elem_t nvram_error_mgr{256, 20, 20};
inline constexpr nvram_elem_t nvram_error_mgr_id{257, 64, 1};
inline constexpr nvram_elem_t nvram_BootCnt_Elem{258, 4, 1};
inline constexpr nvram_elem_t nvram_hst_stream_ids{259, 1, 2};
inline constexpr nvram_elem_t nvram_FTest_Elem{260, 4, 1};
inline constexpr nvram_elem_t nvram_LapOutFra_AbsLapCnt{261, 2, 1};
inline constexpr nvram_elem_t nvram_AwmTime_Elem{262, 20, 10};

inline constexpr nvram_elem_t nvramElemsClone[] = {nvram_LapOutFra_Elem,
                                                   nvram_lapStackCnt,
                                                   nvram_lapStack,
                                                   nvram_lapfunc,
                                                   nvram_lapdist,
                                                   nvram_lapsegments,
                                                   nvram_fuelcons,
                                                   nvram_awmadj,
                                                   nvram_DispPage_Elem,
                                                   nvram_DispBright_Elem,
                                                   nvram_Annotation_Elem,
                                                   nvram_CARID_VYN_Elem,
                                                   nvram_RallyeSequence_Elem,
                                                   nvram_RallyeSwitch_Elem,
                                                   nvram_toggle_Elem,
                                                   nvram_DispBright_Duty_Elem,
                                                   nvram_DispBright_Freq_Elem,
                                                   nvram_DispPageSet_Elem,
                                                   nvram_GpsTrackDet_Elem,
                                                   nvram_GpsModule_Elem,
                                                   nvram_pin_cfg,
                                                   nvram_Variables_Elem,
                                                   nvram_laplength};
inline constexpr nvram_elem_t nvramElemsNoClone[] = {
    nvram_error_mgr,  nvram_error_mgr_id,        nvram_BootCnt_Elem, nvram_hst_stream_ids,
    nvram_FTest_Elem, nvram_LapOutFra_AbsLapCnt, nvram_AwmTime_Elem};

constexpr uint32_t NVRAM_CLONE_BASE = 0x10000;
constexpr uint32_t NVRAM_CLONE_LIMIT = 32768;
constexpr uint32_t NVRAM_NOCLONE_BASE = 0x7EC00;
constexpr uint32_t NVRAM_NOCLONE_LIMIT = 4096;
constexpr uint32_t NVRAM_NOCLONE_FIRST_ID = 256;
constexpr size_t NVRAM_ELEMENTS = 30;
constexpr uint32_t NVRAM_RECORD_MAX = 256; // largest record any element may have

// Manager calls (the process index is not passed).

constexpr uint32_t nvram_slot_size(const nvram_elem_t& e) {
    return ((e.size + 3u) & ~3u) + 4u;
}
constexpr uint32_t nvram_image_size(const nvram_elem_t& e) {
    return nvram_slot_size(e) * e.count * 2u;
}

// Loads both regions into RAM. 1 on success; 0 when a descriptor table does not fit its
// region, memory runs out or a region cannot be loaded (an erased store loads fine).
int nvram_dbs_init();
// Copies the first `len` bytes (cut to the record size) of the newer valid mirror to `dst`.
// Bytes copied; 0 for a null `dst`; -1 before init, for an unknown id, an index out of range
// or when no mirror is valid (then `dst` is untouched).
int nvram_dbs_read(uint32_t id, uint32_t idx, void* dst, uint32_t len);
// Writes `len` bytes (cut to the record size) over the record and persists the slot. A
// shorter write keeps the rest of the record as it was. Bytes written; 0 before init, for
// a null `src` or when persisting failed (the record then reads as before); -1 for an
// unknown id or an index out of range.
int nvram_dbs_write(uint32_t id, uint32_t idx, const void* src, uint32_t len);
// As nvram_dbs_write, through the manager's low-priority persist call.
int nvram_dbs_write_lowprio(uint32_t id, uint32_t idx, const void* src, uint32_t len);

// All records of an element as one value of count x size bytes (`len` must be that), for
// values that span several records. The write puts every record into the same mirror (the one
// that does not hold the newest whole copy) with one write counter and persists the element in
// one call; the read takes the newest mirror whose records are all valid with one counter. So a
// write cut at any byte leaves the element as it was or as written, never a mix of both.
// Results as nvram_dbs_read and nvram_dbs_write; the read also gives -1 when no mirror is whole.
int nvram_dbs_read_all(uint32_t id, void* dst, uint32_t len);
int nvram_dbs_write_all(uint32_t id, const void* src, uint32_t len);

// First boot: on an erased store (no record has a valid mirror) the owners write every record
// afresh. From begin (1: the store is erased) to end, writes update the RAM images only; end
// stores them all with one persist call over both regions instead of one call (and sync) per
// record. A power loss before it leaves the store erased, to be repaired again. End gives 1
// when stored (or nothing was held), 0 when the call failed: the records then read as stored.
// A write of another task meanwhile waits while end stores the images, then stores itself.
// Lock order: the store's lock comes last; under it only the manager's calls and the log.
int nvram_dbs_repair_begin();
int nvram_dbs_repair_end();

// Tests: frees the RAM images and forgets the init and the once-only log flags.
void nvram_dbs_reset();
