// File access of the XML layer, in one place so that drive names ("cfg:" ...) can be
// mapped to directories here.
#pragma once

#include <cstdio>

FILE* xmlFileOpen(const char* path);
