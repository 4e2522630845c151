// A throw-away unit directory for platform tests: the shared scratch directory, read also by lines.
#pragma once

#include "support/stepped.h"

#include <sstream>

struct UnitDir : testsupport::ScratchDir {
    using ScratchDir::ScratchDir;
    std::vector<std::string> lines(const std::string& name) const {
        std::vector<std::string> out;
        std::istringstream in(read(name));
        for (std::string l; std::getline(in, l);)
            out.push_back(l);
        return out;
    }
};
