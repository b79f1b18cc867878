// The send queue: Send copies the caller's bytes once into 1514-byte chunks
// and pushes what the network takes; the write notification pushes the rest.
// OnDataSent is raised from the loop, never inside Send.
#include "socket/wsocket.h"

namespace {

// Send errors that mean the connection is gone: the owner gets one
// OnSessionClosed with the code instead of an error report. EPIPE (10058)
// is how Linux reports a send after the peer's reset has been seen once.
bool BreaksConnection(int Err) {
  return Err == plat::WSAECONNRESET || Err == plat::WSAENOTSOCK || Err == plat::WSAENOTCONN ||
         Err == plat::WSAEINVAL || Err == plat::WSAESHUTDOWN;
}

}  // namespace

int TCustomWSocket::Send(const void* Data, int Len) {
  if (FState != wsConnected) {
    plat::WSASetLastError(plat::WSAENOTCONN);
    ReportSocketError("Send");
    return -1;
  }
  FAllSent = false;
  int Result = 0;
  if (Len > 0) {
    Result = Len;
    AppendToSendQueue(Data, Len);
  }
  const std::weak_ptr<int> Alive = AliveToken();
  TryToSend();
  if (Alive.expired()) return Result;
  if (FAllSent) PostWriteNotification();
  return Result;
}

int TCustomWSocket::SendString(const std::string& Str) {
  return Send(Str.data(), static_cast<int>(Str.size()));
}

void TCustomWSocket::PostWriteNotification() {
  if (FHSocket == plat::INVALID_SOCKET) return;
  FLoop->PostMessage(SessionWindow(), WM_ASYNCSELECT, static_cast<plat::WPARAM>(FHSocket),
                     plat::MakeSelectLParam(plat::FD_WRITE, 0));
}

void TCustomWSocket::AppendToSendQueue(const void* Data, int Len) {
  if (Len <= 0) return;
  const char* Source = static_cast<const char*>(Data);
  if (FBufList.empty()) FBufList.push_back(std::make_unique<TBuffer>(FBufSize));
  int Written = FBufList.back()->Write(Source, Len);
  Source += Written;
  Len -= Written;
  while (Len > 0) {
    FBufList.push_back(std::make_unique<TBuffer>(FBufSize));
    Written = FBufList.back()->Write(Source, Len);
    Source += Written;
    Len -= Written;
  }
}

void TCustomWSocket::TryToSend() {
  if (FHSocket == plat::INVALID_SOCKET) return;
  if (FBufList.empty()) {
    // Nothing was ever queued: nothing is pending either, so a zero-length
    // Send must not leave Flush waiting for data that does not exist.
    FAllSent = true;
    return;
  }
  for (;;) {
    TBuffer& First = *FBufList.front();
    int Len = 0;
    const char* Data = First.Peek(Len);
    if (Len <= 0) {
      if (FBufList.size() > 1) {
        FBufList.pop_front();
        continue;
      }
      FAllSent = true;  // the last chunk stays for reuse
      return;
    }
    const int Count = RawSend(Data, Len);
    if (Count == 0) return;
    if (Count < 0) {
      const int Err = plat::WSAGetLastError();
      if (BreaksConnection(Err)) {
        const std::weak_ptr<int> Alive = AliveToken();
        FCloseNotified = true;
        Close();
        if (Alive.expired()) return;
        DoSessionClosed(static_cast<std::uint16_t>(Err));
        return;
      }
      if (Err == plat::WSAEWOULDBLOCK) return;  // the write notification follows
      ReportSocketError("TryToSend failed");
      return;
    }
    First.Remove(Count);
    if (Count < Len) {
      // A partial send does not fail with would-block, which is what arms the
      // write notification; arm it so that the rest is not left waiting.
      FLoop->ArmWriteAfterWouldBlock(FHSocket);
      return;
    }
  }
}

int TCustomWSocket::RawSend(const void* Data, int Len) {
  if (FType == SOCK_DGRAM)
    return plat::sendto(FHSocket, Data, Len, FSendFlags, reinterpret_cast<const sockaddr*>(&FSin),
                        sizeof(FSin));
  return plat::send(FHSocket, Data, Len, FSendFlags);
}

void TCustomWSocket::Flush() {
  const std::weak_ptr<int> Alive = AliveToken();
  while (FHSocket != plat::INVALID_SOCKET && !FAllSent) {
    TryToSend();
    if (Alive.expired()) return;
    if (FHSocket == plat::INVALID_SOCKET || FAllSent) break;
    ProcessMessagesForWait();
    if (Alive.expired()) return;
    // Sleep until the network can take more instead of spinning.
    if (FHSocket != plat::INVALID_SOCKET && !FAllSent) WaitForMessage();
    if (Alive.expired()) return;
  }
}

void TCustomWSocket::ClearSendQueue() { FBufList.clear(); }
