// Test access to the store's initialisation with other descriptor tables.
#pragma once

#include "services/nvram/nvram.h"

// Initialises from the given tables (at most 23 and 7 descriptors) instead of the built-in
// ones; the ids still map to slots as for the built-in tables.
int nvram_dbs_init_tables(const nvram_elem_t* clone, size_t nClone, const nvram_elem_t* noClone,
                          size_t nNoClone);
