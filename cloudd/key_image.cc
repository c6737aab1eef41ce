#include "cloudd/key_image.h"

#include <unistd.h>

#include <cstdio>
#include <span>

#include "link/memory_map.h"
#include "link/platform/platform.h"

namespace {

// Every tenth key-image block shows a dot.
constexpr uint32_t kDotEvery = 960;

}  // namespace

void LoadKeyImage(KeyImage& image) {
  std::printf("Reading cards:");
  image.fill(kEmptyByte);
  for (uint32_t a = kKeyBaseStart; size_t n = KeyBlockSize(a); a += n) {
    const std::span<uint8_t> block(image.data() + a, n);
    bool reported = false;
    while (!Done(ReadKeyMemory(static_cast<uint16_t>(a), block))) {
      if (!reported) {
        LogMessage("Reading cards: block %04X failed, reading it again\n", a);
        reported = true;
      }
      ::usleep(kKeyImageRetryMs * 1000);
    }
    if (a % kDotEvery == 0) std::printf(".");
  }
  std::printf("\n");
}
