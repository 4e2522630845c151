// Data ID and scrutineering report: a digest over the calibration data of the active page,
// written to "c:/psts/upload/scrutineering.xml" on the shell command "scrutInfo_RTP<index>".
#pragma once

// Registers "scrutInfo_RTP<index>" with the shell; 1 when accepted.
int seram_registerShell();
// The shell command.
int cmdFuncGetScrutInfo(int argc, char** argv);
