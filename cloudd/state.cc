#include "cloudd/state.h"

CloudState& Cloud() {
  static CloudState state;
  return state;
}
