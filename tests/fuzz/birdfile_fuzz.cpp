// libFuzzer target for the BIRD loader; see BirdFileExercise.h for what one
// input goes through. Inputs that crash it belong in corpus/, which the unit
// tests replay.
#include <stdio.h>
#include <stdlib.h>

#include "tests/fuzz/BirdFileExercise.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // DumpBlocks prints on the console channel.
  if (!freopen("/dev/null", "w", stdout)) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size > (1u << 20)) return 0;
  if (!birdfuzz::ExerciseInput(input, size)) abort();
  return 0;
}
