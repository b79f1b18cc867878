#include "transfer/session_state.h"

#include <cstdio>
#include <cstdlib>

namespace transfer {

namespace {

struct TActivityNames {
  const char* name;
  const char* text;
};
constexpr TActivityNames kActivities[] = {
    {"Idle", "idle"},
    {"Connecting", "connecting"},
    {"Listing", "listing a folder"},
    {"Transferring", "transferring files"},
    {"Changing", "changing files on the server"},
    {"Reconnecting", "reconnecting"},
    {"KeepingAlive", "keeping the connection alive"},
};

bool TraceActivity() {
  static const bool trace = [] {
    const char* v = std::getenv("VEK_FTP_TRACE");
    return v != nullptr && *v != '\0' && *v != '0';
  }();
  return trace;
}

const TActivityNames* Names(TActivity Activity) {
  const auto i = static_cast<std::size_t>(Activity);
  return i < sizeof(kActivities) / sizeof(kActivities[0]) ? &kActivities[i] : nullptr;
}

}  // namespace

const char* ActivityName(TActivity Activity) {
  const TActivityNames* n = Names(Activity);
  return n != nullptr ? n->name : "?";
}

const char* ActivityText(TActivity Activity) {
  const TActivityNames* n = Names(Activity);
  return n != nullptr ? n->text : "?";
}

void TSessionState::SetActivity(TActivity NewActivity) {
  if (NewActivity == Activity) return;
  if (TraceActivity()) std::fprintf(stderr, "busy: %s -> %s\n", ActivityName(Activity), ActivityName(NewActivity));
  Activity = NewActivity;
  if (NewActivity == TActivity::Idle) AbortRequested = false;
  if (OnActivityChange) OnActivityChange();
}

TSessionState& Session() {
  static TSessionState state;
  return state;
}

}  // namespace transfer
