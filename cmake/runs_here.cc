// Compiled with the build's flags and run once, to learn whether this kernel
// runs the programs the build makes. A kernel that refuses them makes the
// caller fall back to the shell, which fails with a code of its own, so only
// this exact line and code tell that the program itself ran.
#include <cstdio>

int main() {
  std::puts("hashverify probe ran");
  return 42;
}
