#include "transfer/session_state.h"

namespace transfer {

TSessionState& Session() {
  static TSessionState state;
  return state;
}

}  // namespace transfer
