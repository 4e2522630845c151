// Virtual channels of the encrypted channel archive "cfg:/channels.zip", measurable by name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Starts the task that reads the archive and adds its channels to the name table.
void meascalinfo_virtchan_ini();
// Who is told once the channels are in the name table (the measurement server, handed in by the
// start-up); told at once when that has happened already.
void meascalinfo_virtchan_setLoadedSink(void (*loaded)());
// True once the task has entered the archive's channels in the name table, or has found none to
// enter (no drive, no or a damaged archive, no task): names read at start wait for this.
bool meascalinfo_virtchan_loaded();
// Tests: back to before the task ran, no sink, the channels' memory freed (the name table reset
// first).
void meascalinfo_virtchan_reset();

// Reads, authenticates, decrypts and inflates the archive's first entry into a new buffer
// (free() it; zero-terminated, *length bytes before the NUL). 0, or -1 (logged). `number` is
// not used.
int unzip_decr(const char* path, int number, char** buffer, uint32_t* length);
// The same on an open archive; `shown` names it in the log.
int unzip_decr_file(FILE* f, const char* shown, char** buffer, uint32_t* length);
// The archive password of this image's EPK: `length` (at most 16) printable characters, no
// NUL. tools/channels_password.py prints it for a given EPK.
void get_unzip_pwd(char* buffer, size_t length);
// The same for another EPK text.
void unzip_pwd_for(const char* epk, char* buffer, size_t length);

// Adds the channels of a channel list (XML text) to the name table; the number found, or -1
// when the text is refused (logged).
int meascalinfo_virtchan_parse(const char* text);
