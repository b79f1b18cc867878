// The send queue: Send copies the caller's bytes once into 1514-byte chunks
// and pushes what the network takes; the write notification pushes the rest.
// OnDataSent is raised from the loop, never inside Send.
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>

#include "platform/ticks.h"

#include "socket/wsocket.h"

namespace {

// At most this many chunks (about 96 KiB) in one gathered send.
constexpr int kMaxGather = 64;

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
  // Paced: sent from OnDataSent with nothing else pending.
  const bool Paced = FInDataSent && FAllSent && FType == SOCK_STREAM && FSendFlags == 0;
  ++FSends;
  FAllSent = false;
  if (Paced && FHoldRoom < 0) LearnHoldRoom(0);  // the kernel has drained since
  int Result = 0;
  if (Len > 0) {
    Result = Len;
    AppendToSendQueue(Data, Len);
    if (Paced && static_cast<std::int64_t>(FHeld) + Len <= std::min(HOLD_LIMIT, FHoldRoom)) {
      // Paced by OnDataSent: the event follows from the loop as after a send.
      FHeld += Len;
      FAllSent = true;
      PostWriteNotification();
      return Result;
    }
  }
  // Paced, the queue held only the held bytes and these: all of it goes now.
  const std::int64_t Pushing = static_cast<std::int64_t>(FHeld) + std::max(Len, 0);
  FHeld = 0;
  const std::weak_ptr<int> Alive = AliveToken();
  TryToSend();
  if (Alive.expired()) return Result;
  // Bytes went out uncounted, or are still waiting: the room is asked for
  // again before the next hold.
  if (!Paced || !FAllSent) FHoldRoom = -1;
  if (FAllSent) {
    if (Paced && !LearnHoldRoom(Pushing)) {
      // So full that the kernel would not call itself writable: the owner
      // waits until it would, as for a full one, rather than sending each
      // chunk alone into the little room left.
      FAllSent = false;
      FHoldRoom = -1;
      FLoop->ArmWriteAfterWouldBlock(FHSocket);
      return Result;
    }
    PostWriteNotification();
  }
  return Result;
}

bool TCustomWSocket::LearnHoldRoom(std::int64_t Pushed) {
  // The room grows as the network drains and shrinks only by our pushes
  // (or, rarely, under memory pressure: then a push is taken in part and
  // the rest waits for the write notification). So after a push into plenty
  // of it, a lower bound of what is left is known without asking the kernel.
  if (Pushed > 0 && FSendBufSize > 0 && FHoldRoom > 0) {
    const std::int64_t Left = FHoldRoom - Pushed - Pushed / 8;
    if (Left >= HOLD_LIMIT && Left >= FSendBufSize / 4) {
      FHoldRoom = static_cast<int>(Left);
      return true;
    }
  }
  // SO_SNDBUF bounds the kernel's accounting of its queue, which adds its own
  // overhead to the payload (a few percent for a bulk stream's large
  // buffers): an eighth of what is queued is allowed for it.
  int Unsent = 0;
  if (::ioctl(FHSocket, SIOCOUTQ, &Unsent) < 0) {
    FHoldRoom = 0;
    return true;
  }
  const auto RoomIn = [Unsent](int BufSize) { return std::max(BufSize - Unsent - Unsent / 8, 0); };
  // The buffer's size is asked for again only when it is what limits the
  // hold: the kernel grows it as the stream speeds up.
  if (FSendBufSize == 0 || RoomIn(FSendBufSize) < HOLD_LIMIT) {
    socklen_t Len = sizeof(FSendBufSize);
    if (::getsockopt(FHSocket, SOL_SOCKET, SO_SNDBUF, &FSendBufSize, &Len) < 0) {
      FSendBufSize = 0;
      FHoldRoom = 0;
      return true;
    }
  }
  FHoldRoom = RoomIn(FSendBufSize);
  // About where the kernel stops reporting the socket writable (a third free).
  return FHoldRoom >= FSendBufSize / 4;
}

bool TCustomWSocket::PushHeld(bool Wait) {
  if (FHeld == 0) return true;
  if (FHoldRoom > 0) FHoldRoom = std::max(FHoldRoom - FHeld - FHeld / 8, 0);
  FHeld = 0;
  FAllSent = false;
  const std::weak_ptr<int> Alive = AliveToken();
  const plat::SOCKET Handle = FHSocket;
  TryToSend();
  if (!Wait) return true;
  // Held bytes fit the room the kernel had, so this is not expected to wait,
  // and if it must, only until the network has taken one block's worth. If
  // the peer keeps the kernel full that long, the connection is reset rather
  // than closed, so that the peer never takes a short stream for a whole one.
  constexpr int kPatienceMs = 30000;
  const std::uint32_t Deadline = plat::GetTickCount() + kPatienceMs;
  while (!Alive.expired() && FHSocket == Handle && Handle != plat::INVALID_SOCKET && !FAllSent) {
    const std::uint32_t Now = plat::GetTickCount();
    if (plat::TickIsPast(Now, Deadline)) {
      ClearSendQueue();
      const linger Reset{1, 0};
      ::setsockopt(Handle, SOL_SOCKET, SO_LINGER, &Reset, sizeof(Reset));
      return false;
    }
    pollfd Pfd{Handle, POLLOUT, 0};
    ::poll(&Pfd, 1, static_cast<int>(plat::TicksUntil(Now, Deadline)));
    TryToSend();
  }
  return true;
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
  if (FBufList.empty()) FBufList.push_back(NewChunk());
  int Written = FBufList.back()->Write(Source, Len);
  Source += Written;
  Len -= Written;
  while (Len > 0) {
    FBufList.push_back(NewChunk());
    Written = FBufList.back()->Write(Source, Len);
    Source += Written;
    Len -= Written;
  }
}

std::unique_ptr<TBuffer> TCustomWSocket::NewChunk() {
  if (FSpareChunks.empty()) return std::make_unique<TBuffer>(FBufSize);
  std::unique_ptr<TBuffer> Chunk = std::move(FSpareChunks.back());
  FSpareChunks.pop_back();
  return Chunk;
}

void TCustomWSocket::RetireFirstChunk() {
  // Drained, so empty again: kept for the next chunk instead of freed, as an
  // upload queues and drains one chunk per 1514 bytes.
  if (FSpareChunks.size() < static_cast<std::size_t>(kMaxGather))
    FSpareChunks.push_back(std::move(FBufList.front()));
  FBufList.pop_front();
}

void TCustomWSocket::TryToSend() {
  if (FHSocket == plat::INVALID_SOCKET) return;
  if (FBufList.empty()) {
    // Nothing was ever queued: nothing is pending either, so a zero-length
    // Send must not leave Flush waiting for data that does not exist.
    FAllSent = true;
    return;
  }
  // A stream takes the queued chunks in one gathered call: the chunks stay as
  // they are, only the per-chunk system call (and its segment push) goes.
  const bool Gather = FType == SOCK_STREAM && FSendFlags == 0;
  for (;;) {
    // Sent chunks are freed from the front; the last one stays for reuse.
    while (FBufList.size() > 1 && FBufList.front()->ReadPos() == FBufList.front()->WritePos())
      RetireFirstChunk();
    int Len = 0;
    const char* Data = FBufList.front()->Peek(Len);
    if (Len <= 0) {
      FAllSent = true;
      return;
    }
    int Offered = 0;
    int Count = 0;
    if (Gather) {
      iovec Iov[kMaxGather];
      int Chunks = 0;
      for (const auto& Chunk : FBufList) {
        int ChunkLen = 0;
        const char* ChunkData = Chunk->Peek(ChunkLen);
        if (ChunkLen <= 0 || Chunks == kMaxGather) break;
        Iov[Chunks].iov_base = const_cast<char*>(ChunkData);
        Iov[Chunks].iov_len = static_cast<std::size_t>(ChunkLen);
        ++Chunks;
        Offered += ChunkLen;
      }
      Count = RawSendChunks(Iov, Chunks);
    } else {
      Offered = Len;
      Count = RawSend(Data, Len);
    }
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
    // Take the sent bytes off the chunks, oldest first.
    int Left = Count;
    while (Left > 0) {
      TBuffer& First = *FBufList.front();
      Left -= First.Remove(Left);
      if (First.WritePos() != 0 || FBufList.size() == 1) break;
      RetireFirstChunk();
    }
    if (Count < Offered) {
      // A partial send does not fail with would-block, which is what arms the
      // write notification; arm it so that the rest is not left waiting.
      FLoop->ArmWriteAfterWouldBlock(FHSocket);
      return;
    }
  }
}

int TCustomWSocket::RawSendChunks(const iovec* Iov, int Count) {
  msghdr Msg{};
  Msg.msg_iov = const_cast<iovec*>(Iov);
  Msg.msg_iovlen = static_cast<std::size_t>(Count);
  // As the platform's send: never SIGPIPE, never block, would-block arms the
  // write notification, errors in Winsock numbering.
  const ssize_t Sent = ::sendmsg(FHSocket, &Msg, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (Sent >= 0) return static_cast<int>(Sent);
  const int Err = errno;
  if (Err == EAGAIN || Err == EWOULDBLOCK) FLoop->ArmWriteAfterWouldBlock(FHSocket);
  plat::WSASetLastError(plat::WsaErrorFromErrno(Err));
  return plat::SOCKET_ERROR;
}

int TCustomWSocket::RawSend(const void* Data, int Len) {
  if (FType == SOCK_DGRAM)
    return plat::sendto(FHSocket, Data, Len, FSendFlags, reinterpret_cast<const sockaddr*>(&FSin),
                        plat::AddressLength(FSin));
  return plat::send(FHSocket, Data, Len, FSendFlags);
}

void TCustomWSocket::Flush() {
  if (FHeld > 0) {
    FHeld = 0;
    FHoldRoom = -1;
    FAllSent = false;  // held bytes are pushed and waited for as any others
  }
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

void TCustomWSocket::ClearSendQueue() {
  FBufList.clear();
  FHeld = 0;
  FHoldRoom = 0;  // learnt again for the next session
  FSendBufSize = 0;
}
