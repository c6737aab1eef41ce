#include "cloudd/state.h"

#include <new>

namespace {
// Made before main in zero-filled storage: no guarded initialisation on
// first use, and the key-base copy stays out of the program file (a
// constant-initialised object with non-zero defaults would be stored in
// full in its data section).
alignas(CloudState) unsigned char g_storage[sizeof(CloudState)];
CloudState* const g_cloud = new (g_storage) CloudState;
}  // namespace

CloudState& Cloud() { return *g_cloud; }
