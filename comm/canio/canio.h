// CAN configuration: the data page or "cfg:/CAN.xml" into the tables of CAN input and output.
//
// CAN configuration: from the data page, or from "cfg:/CAN.xml" in the task "canIOini", into
// the tables of CAN input and output, which are then compiled; the measurement server is told
// when CAN is configured.
#pragma once

// Chooses the source and configures CAN input and output (start-up, once).
void can_vyn_ini();
void can_vyn_init_task();
// The whole file as a text buffer (the caller free()s it), or null.
char* Can_Xml_Load(const char* fileName);
// Parses the text into the tables: 0, or -1 after a parse error (what was read before it stays,
// but for an output message some row of which lies at or beyond the error, or may lie there).
int XmlCanIOParse(const char* text);
