#ifndef DLLTALLY_FUZZ_FUZZ_CHECK_H_
#define DLLTALLY_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

// Stops the fuzzer on a broken property: the input is then saved as a crash
// artifact, ready to go into fuzz/regressions/.
#define FUZZ_CHECK(condition)                                                        \
  do {                                                                               \
    if (!(condition)) {                                                              \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__,       \
                   #condition);                                                      \
      std::abort();                                                                  \
    }                                                                                \
  } while (0)

#endif  // DLLTALLY_FUZZ_FUZZ_CHECK_H_
