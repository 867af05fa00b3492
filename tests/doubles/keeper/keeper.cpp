// keeper.exe: an ordinary process that does nothing until it is killed.
// Wine ends a prefix's service manager, and every service it started, a
// few seconds after the last ordinary process exits; a scenario keeps this
// one running for its whole length. Started first in a fresh prefix, it
// also passes its environment and standard error on to every service.
#include <windows.h>

#include <cstdio>

int main() {
  // The scenario waits for this line before it runs anything else in the
  // prefix, so the keeper is sure to be the prefix's first process.
  std::fputs("keeper ready\n", stderr);
  std::fflush(stderr);
  Sleep(INFINITE);
  return 0;
}
