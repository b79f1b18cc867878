// The line level: incoming bytes collected into lines ended by LineEnd, one
// OnDataAvailable per line; and the synchronous waits of TCustomSyncWSocket.
//
// The buffer holds exactly the bytes not yet handed out, from FLineHead on;
// the line being handed out is the first FLineLength of them. Every step
// works from those fields alone, so a handler that runs the loop again (and
// so re-enters this level) finds them consistent.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "platform/application.h"
#include "platform/ticks.h"
#include "socket/wsocket.h"

// ---------------------------------------------------------------------------
// Properties

void TCustomLineWSocket::SetLineMode(bool Value) {
  if (Value == FLineMode) return;
  FLineMode = Value;
  if (FLineCount > 0 || FLineLength > 0) PostLineModeMessage();
}

void TCustomLineWSocket::SetLineEnd(const std::string& Value) {
  if (Value == FLineEnd) return;
  FLineEnd = Value;
  // The buffered bytes are lines of another kind now (or none at all).
  if (FLineCount > 0) PostLineModeMessage();
}

void TCustomLineWSocket::PostLineModeMessage() { FLoop->PostMessage(FWindowHandle, WM_LINEMODE, 0, 0); }

void TCustomLineWSocket::WndProc(TMessage& MsgRec) {
  if (MsgRec.Msg == WM_LINEMODE) {
    WMLineMode();
    MsgRec.Result = 0;
    return;
  }
  TCustomTlsWSocket::WndProc(MsgRec);
}

// Line mode changed with bytes buffered. On: hand out the complete lines
// among them; a partial line waits for more data. Off: offer the bytes
// through ordinary events until the owner has taken them.
void TCustomLineWSocket::WMLineMode() {
  const std::weak_ptr<int> Alive = AliveToken();
  const plat::SOCKET Handle = FHSocket;
  while (FLineCount > 0 && !SocksNegotiating()) {
    if (LineModeActive()) {
      ScanLines(0);
      return;
    }
    const int Before = FLineCount;
    const bool Taken = TCustomTlsWSocket::DoDataAvailable(0);
    if (Alive.expired() || FHSocket != Handle) return;
    if (!Taken) {
      TakeFront(nullptr, FLineCount);  // no handler: dropped, as the core drops unread data
      return;
    }
    // A handler that reads nothing gets the bytes again with the next read
    // notification; offering them again now would never end.
    if (FLineCount >= Before) return;
  }
}

// ---------------------------------------------------------------------------
// Receiving

int TCustomLineWSocket::RcvdCount() {
  if (LineModeActive() && FLineLength > 0) return FLineLength;
  const int Lower = TCustomTlsWSocket::RcvdCount();
  if (!LineModeActive() && FLineCount > 0) return FLineCount + std::max(Lower, 0);
  return Lower;
}

int TCustomLineWSocket::RawReceive(void* Buffer, int BufferSize, int Flags) {
  if (LineModeActive() && FLineLength > 0) {
    const int Count = std::min(std::max(BufferSize, 0), FLineLength);
    TakeFront(Buffer, Count);
    return Count;
  }
  if (!LineModeActive() && FLineCount > 0) {
    // Left over from line mode: these come before anything still in the network.
    const int Count = std::min(std::max(BufferSize, 0), FLineCount);
    TakeFront(Buffer, Count);
    return Count;
  }
  return TCustomTlsWSocket::RawReceive(Buffer, BufferSize, Flags);
}

void TCustomLineWSocket::TakeFront(void* Dest, int Count) {
  if (Count <= 0) return;
  if (Dest != nullptr)
    std::memcpy(Dest, FLineBuffer.data() + FLineHead, static_cast<std::size_t>(Count));
  FLineHead += Count;
  FLineCount -= Count;
  FLineLength = std::max(FLineLength - Count, 0);
  if (FLineCount == 0) FLineHead = 0;
}

int TCustomLineWSocket::ReadIntoBuffer(int Count) {
  const std::size_t Needed = static_cast<std::size_t>(FLineCount) + static_cast<std::size_t>(Count);
  if (static_cast<std::size_t>(FLineHead) + Needed > FLineBuffer.size()) {
    // Move the unread bytes to the front before growing the block.
    if (FLineHead > 0) {
      std::memmove(FLineBuffer.data(), FLineBuffer.data() + FLineHead,
                   static_cast<std::size_t>(FLineCount));
      FLineHead = 0;
    }
    if (Needed > FLineBuffer.size()) FLineBuffer.resize(Needed);
  }
  // Below the counting Receive: the owner's Receive counts these bytes when
  // it takes them, and each byte is counted once.
  const int Len =
      TCustomTlsWSocket::RawReceive(FLineBuffer.data() + FLineHead + FLineCount, Count, 0);
  if (Len < 0) {
    FLastError = plat::WSAGetLastError();
    return Len;
  }
  FLineCount += Len;
  return Len;
}

void TCustomLineWSocket::DropLineBuffer() {
  std::vector<char>().swap(FLineBuffer);
  FLineHead = 0;
  FLineCount = 0;
  FLineLength = 0;
}

void TCustomLineWSocket::ResetToDefaults() {
  TCustomTlsWSocket::ResetToDefaults();
  // LineMode and LineEnd carry over to the next session; its bytes do not.
  DropLineBuffer();
}

// ---------------------------------------------------------------------------
// Lines

int TCustomLineWSocket::FindLineEnd(int Start) const {
  if (FLineCount <= 0) return -1;
  const std::string_view Unread(FLineBuffer.data() + FLineHead, static_cast<std::size_t>(FLineCount));
  const std::size_t At = Unread.find(FLineEnd, static_cast<std::size_t>(std::max(Start, 0)));
  return At == std::string_view::npos ? -1 : static_cast<int>(At);
}

bool TCustomLineWSocket::HandOutLine() {
  const std::weak_ptr<int> Alive = AliveToken();
  const plat::SOCKET Handle = FHSocket;
  while (LineModeActive() && FLineLength > 0) {
    const bool Taken = TCustomTlsWSocket::DoDataAvailable(0);
    if (Alive.expired() || FHSocket != Handle) return false;
    // Without a handler nobody takes the line: drop it, as the core drops
    // unread data, instead of offering it for ever.
    if (!Taken) TakeFront(nullptr, FLineLength);
  }
  // Line mode went off before the line was taken: its rest is ordinary data now.
  if (!LineModeActive()) FLineLength = 0;
  return true;
}

bool TCustomLineWSocket::ScanLines(int Start) {
  const std::weak_ptr<int> Alive = AliveToken();
  const plat::SOCKET Handle = FHSocket;
  while (LineModeActive()) {
    if (FLineLength == 0) {
      const int Found = FindLineEnd(Start);
      if (Found >= 0) {
        FLineLength = Found + static_cast<int>(FLineEnd.size());
      } else if (FLineCount >= FLineLimit) {
        DoLineTooLong();
        if (Alive.expired() || FHSocket != Handle) return false;
        // The handler may have changed the mode, the limit or the buffer.
        if (!LineModeActive() || FLineLength > 0 || FLineCount < FLineLimit) {
          Start = 0;
          continue;
        }
        // Hand out one limit's worth; keep back what may be the start of a
        // terminator split across reads.
        const int KeepBack = static_cast<int>(FLineEnd.size()) - 1;
        FLineLength = std::max(std::min(FLineLimit, FLineCount - KeepBack), 1);
      } else {
        return true;  // a partial line: wait for more data
      }
    }
    if (!HandOutLine()) return false;
    Start = 0;
  }
  return true;
}

bool TCustomLineWSocket::DoDataAvailable(std::uint16_t Error) {
  // During the SOCKS negotiation the bytes are the proxy's replies.
  if (!LineModeActive() || SocksNegotiating()) return TCustomTlsWSocket::DoDataAvailable(Error);
  int Count = TCustomTlsWSocket::RcvdCount();
  if (Count <= 0) return true;
  const int Room = FLineLimit - FLineCount;
  if (Room <= 0) {
    ScanLines(0);  // the limit was lowered: cut the buffered bytes first
    return true;
  }
  // The rest stays in the network; the read loop of the core comes back for it.
  Count = std::min(Count, Room);
  const int OldCount = FLineCount;
  if (ReadIntoBuffer(Count) <= 0) return true;
  // A terminator split across two reads starts in the old bytes.
  ScanLines(std::max(OldCount - static_cast<int>(FLineEnd.size()), 0));
  return true;
}

void TCustomLineWSocket::DoSessionClosed(std::uint16_t Error) {
  const std::weak_ptr<int> Alive = AliveToken();
  if (LineModeActive() && FLineCount > 0) {
    // What is left are complete lines not yet taken and the unterminated
    // tail, which the owner gets as a last line.
    if (ScanLines(0) && LineModeActive() && FLineCount > 0 && FLineLength == 0) {
      FLineLength = FLineCount;
      HandOutLine();
    }
    if (Alive.expired()) return;
  }
  DropLineBuffer();
  TCustomTlsWSocket::DoSessionClosed(Error);
}

void TCustomLineWSocket::DoLineTooLong() {
  if (OnLineTooLong && !FDestroying) OnLineTooLong(this);
}

// ---------------------------------------------------------------------------
// TCustomSyncWSocket

int TCustomSyncWSocket::RunAndWait(const std::function<void()>& Proc, bool& Done) {
  Done = false;
  if (Proc) Proc();
  return WaitUntilDone(Done);
}

// The object may be destroyed by a handler while this waits: the loop works
// from copies and touches only the caller's flag.
int TCustomSyncWSocket::WaitUntilDone(bool& Done) {
  const int Timeout = this->Timeout();
  const bool Threaded = FMultiThreaded;
  FTimeStop = plat::GetTickCount() + static_cast<std::uint32_t>(Timeout);
  const std::uint32_t Deadline = FTimeStop;
  plat::Application& App = plat::Application::Instance();
  plat::MessageLoop& Loop = plat::MessageLoop::Current();
  for (;;) {
    if (Done) return 0;
    if (App.Terminated() || (Timeout > 0 && plat::TickIsPast(plat::GetTickCount(), Deadline)))
      return WSOCKET_WAIT_TIMEOUT;
    if (Threaded)
      Loop.DispatchPending();
    else
      App.ProcessMessages();
    if (Done) return 0;
    // Sleep until something arrives (or the deadline) instead of spinning.
    const int WaitMs =
        Timeout > 0 ? static_cast<int>(plat::TicksUntil(plat::GetTickCount(), Deadline)) : -1;
    if (Threaded)
      Loop.WaitMessage(WaitMs);
    else
      App.WaitMessage(WaitMs);
  }
}
