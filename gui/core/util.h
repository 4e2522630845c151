// Small helpers and the shared texts of the toolkit.
#pragma once

// Writes value in the radix (2..36; digits 0-9 then lower-case letters) with a leading '-' for a
// negative value in radix 10, zero-terminated; returns buffer (which must hold 66 characters).
char* gui_ltoa(long value, char* buffer, int radix);

extern const char GUISC_OK[];
extern const char GUISC_NO[];
extern const char GUISC_YES[];
extern const char GUISC_ABORT[];
extern const char GUISC_CANCEL[];
extern const char GUISC_RETRY[];
extern const char GUISC_CLOSE[];
extern const char GUISC_MINIMIZE[];
extern const char GUISC_MAXIMIZE[];
extern const char GUISC_RESTORE[];
