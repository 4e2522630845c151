// Inside the table: the size of a run of rows or columns.
#pragma once

#include "gui/widgets/table/table.h"

// sizes[first] + ... + sizes[first + count - 1], held to the 16-bit coordinates (at most 32767).
int GuiTableSum(const int* sizes, int first, int count);
