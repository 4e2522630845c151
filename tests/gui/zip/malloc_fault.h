// Fault injection for malloc: the test binary links with --wrap=malloc,--wrap=free, so every
// malloc of the statically linked code goes through here.
#pragma once

namespace malloc_fault {

// While a scope lives, the first `allowed` mallocs succeed and the rest fail; live() counts
// the blocks handed out in the scope that were not freed yet.
class Scope {
  public:
    explicit Scope(int allowed);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
};

int live();

} // namespace malloc_fault
