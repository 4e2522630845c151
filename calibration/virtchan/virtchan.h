// Virtual channels of the encrypted channel archive "cfg:/channels.zip", measurable by name.
#pragma once

// Reads the archive and adds its channels to the name table.
void meascalinfo_virtchan_ini();
