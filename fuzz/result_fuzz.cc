// Fuzz target: deserialising a Result from its flat text form, then using it.
#include <cstdint>
#include <string>

#include "util/Result.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using velmora::util::Result;
  Result r;
  (void)r.Deserialize(reinterpret_cast<const char*>(data), size);
  for (int mode = 0; mode <= 4; ++mode) (void)r.Text(mode);
  char out[256];
  r.Serialize(out, sizeof out);
  Result copy;
  copy = r;
  copy.SetSlotText(1, "x");
  (void)copy.Text();
  return 0;
}
