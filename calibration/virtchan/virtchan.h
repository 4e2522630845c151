// Virtual channels of the encrypted channel archive "cfg:/channels.zip", measurable by name.
#pragma once

// Reads the archive and adds its channels to the name table.
void meascalinfo_virtchan_ini();
// Who is told once the channels are in the name table (the measurement server hands itself in);
// told at once when that has happened already.
void meascalinfo_virtchan_setLoadedSink(void (*loaded)());
