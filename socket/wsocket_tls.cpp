// The TLS level: OpenSSL over memory buffers between the owner and the
// levels below, so the socket's own notifications keep driving every read
// and write, the handshake included.
#include <arpa/inet.h>
#include <netinet/tcp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "socket/wsocket.h"

namespace {

// Decrypted bytes the owner has not read: up to this many are decrypted
// ahead, and the network is read again only when fewer than kPlainLow wait
// and OpenSSL holds less than a read's worth: neither buffer grows however
// slowly the owner reads.
constexpr std::size_t kPlainRoom = 64 * 1024;
constexpr int kPlainLow = 16 * 1024;
// One read from below.
constexpr int kCipherChunk = 32 * 1024;

bool TlsTraceEnabled() {
  static const bool Enabled = std::getenv("VEK_TRACE_SOCKET") != nullptr;
  return Enabled;
}

BIO* Bio(void* P) { return static_cast<BIO*>(P); }

// OpenSSL's queued errors as one line (and the queue emptied).
std::string OpenSslErrors() {
  std::string text;
  while (const unsigned long code = ERR_get_error()) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof(buffer));
    if (!text.empty()) text += "; ";
    text += buffer;
  }
  return text;
}

int SocketIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

std::string NameLine(X509_NAME* Name) {
  if (Name == nullptr) return std::string();
  BIO* out = BIO_new(BIO_s_mem());
  X509_NAME_print_ex(out, Name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
  char* data = nullptr;
  const long len = BIO_get_mem_data(out, &data);
  std::string text(data, static_cast<std::size_t>(len > 0 ? len : 0));
  BIO_free(out);
  return text;
}

std::string TimeLine(const ASN1_TIME* Time) {
  std::tm tm{};
  if (Time == nullptr || ASN1_TIME_to_tm(Time, &tm) != 1) return std::string();
  char buffer[32];
  std::strftime(buffer, sizeof(buffer), "%Y-%m-%d %H:%M:%S UTC", &tm);
  return buffer;
}

std::string Fingerprint(X509* Certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (X509_digest(Certificate, EVP_sha256(), digest, &len) != 1) return std::string();
  std::string text;
  char hex[4];
  for (unsigned int i = 0; i < len; ++i) {
    std::snprintf(hex, sizeof(hex), i == 0 ? "%02X" : ":%02X", digest[i]);
    text += hex;
  }
  return text;
}

}  // namespace

// Every new session the server hands out (a TLS 1.3 ticket, a TLS 1.2
// session) goes to the jar of the socket it came on.
int TlsNewSession(ssl_st* Ssl, ssl_session_st* Session) {
  auto* socket = static_cast<TCustomTlsWSocket*>(SSL_get_ex_data(Ssl, SocketIndex()));
  if (socket == nullptr || !socket->FJar) return 0;
  socket->FJar->Keep(Session);
  return 1;  // the jar holds the reference now
}

namespace {

// One context for every client connection: the system's trust store, no
// version below TLS 1.2, and tickets handed to the sockets' jars.
SSL_CTX* ClientContext() {
  static SSL_CTX* const context = [] {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_default_verify_paths(ctx);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(ctx, TlsNewSession);
    return ctx;
  }();
  return context;
}

}  // namespace

bool WSocketTrustCertificates(const std::string& PemFile, std::string& Error) {
  ERR_clear_error();
  if (X509_STORE_load_file(SSL_CTX_get_cert_store(ClientContext()), PemFile.c_str()) == 1) return true;
  Error = "cannot read certificates from " + PemFile + ": " + OpenSslErrors();
  return false;
}

// ---------------------------------------------------------------------------
// TTlsSessionJar

TTlsSessionJar::~TTlsSessionJar() { Clear(); }

void TTlsSessionJar::Keep(ssl_session_st* Session) {
  if (Session == nullptr) return;
  if (FSession != nullptr) SSL_SESSION_free(FSession);
  FSession = Session;
  ++FKept;
}

void TTlsSessionJar::Clear() {
  if (FSession != nullptr) SSL_SESSION_free(FSession);
  FSession = nullptr;
}

// ---------------------------------------------------------------------------
// Starting

TCustomTlsWSocket::~TCustomTlsWSocket() { DropTls(); }

void TCustomTlsWSocket::StartTls(const std::string& HostName, std::shared_ptr<TTlsSessionJar> Jar) {
  if (FState != wsConnected) throw ESocketException("StartTls: not connected");
  if (FTls != nullptr) throw ESocketException("StartTls: TLS already started");
  ERR_clear_error();
  FTls = SSL_new(ClientContext());
  if (FTls == nullptr) throw ESocketException("StartTls: " + OpenSslErrors());
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  // An empty read buffer says "retry", not end of file.
  BIO_set_mem_eof_return(in, -1);
  BIO_set_mem_eof_return(out, -1);
  SSL_set_bio(FTls, in, out);
  FReadBio = in;
  FWriteBio = out;
  SSL_set_ex_data(FTls, SocketIndex(), this);
  SSL_set_connect_state(FTls);
  if (FTlsMin != 0) SSL_set_min_proto_version(FTls, FTlsMin);
  if (FTlsMax != 0) SSL_set_max_proto_version(FTls, FTlsMax);

  // The name the certificate must carry; an address is checked as one, and
  // never sent as a server name. An IPv6 address may come in URL brackets.
  std::string name = HostName;
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
  in6_addr probe{};
  const bool isAddress = inet_pton(AF_INET, name.c_str(), &probe) == 1 ||
                         inet_pton(AF_INET6, name.c_str(), &probe) == 1;
  X509_VERIFY_PARAM* param = SSL_get0_param(FTls);
  if (isAddress) {
    X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str());
  } else if (!HostName.empty()) {
    SSL_set_tlsext_host_name(FTls, HostName.c_str());
    SSL_set1_host(FTls, HostName.c_str());
  }
  FJar = std::move(Jar);
  if (FJar && FJar->Freshest() != nullptr) SSL_set_session(FTls, FJar->Freshest());

  // The small records around a handshake must not wait for delayed ACKs.
  const int on = 1;
  plat::setsockopt(FHSocket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));

  FTlsStage = tlsHandshaking;
  FTlsInfo = TTlsInfo();
  FTlsError.clear();
  FCipherEof = false;
  FPeerClosedTls = false;
  AdvanceHandshake();
}

// ---------------------------------------------------------------------------
// Moving bytes

bool TCustomTlsWSocket::PullCipher() {
  if (FCipherEof) return false;
  char buffer[kCipherChunk];
  const int n = TCustomSocksWSocket::RawReceive(buffer, sizeof(buffer), 0);
  if (n == 0) {
    FCipherEof = true;
    return false;
  }
  if (n < 0) return false;
  BIO_write(Bio(FReadBio), buffer, n);
  return true;
}

void TCustomTlsWSocket::PushCipher() {
  char buffer[kCipherChunk];
  while (FTls != nullptr && FState == wsConnected && BIO_ctrl_pending(Bio(FWriteBio)) > 0) {
    const int n = BIO_read(Bio(FWriteBio), buffer, sizeof(buffer));
    if (n <= 0) break;
    const std::weak_ptr<int> Alive = AliveToken();
    TCustomSocksWSocket::Send(buffer, n);
    if (Alive.expired()) return;
  }
}

bool TCustomTlsWSocket::AdvanceHandshake() {
  const std::weak_ptr<int> Alive = AliveToken();
  ERR_clear_error();
  const int r = SSL_do_handshake(FTls);
  PushCipher();
  if (Alive.expired() || FTls == nullptr) return false;
  if (r == 1) {
    FTlsStage = tlsUp;
    FillInfo();
    if (TlsTraceEnabled())
      std::fprintf(stderr, "tls: up, %s %s%s\n", FTlsInfo.Version.c_str(), FTlsInfo.Cipher.c_str(),
                   FTlsInfo.Resumed ? ", session resumed" : "");
    if (!FPendingSend.empty()) {
      const std::string pending = std::move(FPendingSend);
      FPendingSend.clear();
      Send(pending.data(), static_cast<int>(pending.size()));
      if (Alive.expired()) return false;
    }
    DoTlsDone(0);
    return !Alive.expired();
  }
  const int err = SSL_get_error(FTls, r);
  if (err == SSL_ERROR_WANT_READ && !FCipherEof) return true;
  std::string why = OpenSslErrors();
  if (FCipherEof && why.empty()) why = "the server closed the connection during the TLS handshake";
  if (why.empty()) why = "TLS handshake failed (error " + std::to_string(err) + ")";
  HandshakeFailed(why);
  return false;
}

void TCustomTlsWSocket::HandshakeFailed(const std::string& Why) {
  FTlsError = Why;
  FTlsStage = tlsFailed;
  if (TlsTraceEnabled()) std::fprintf(stderr, "tls: handshake failed: %s\n", Why.c_str());
  DoTlsDone(WSOCKET_TLS_FAILED);
}

void TCustomTlsWSocket::Decrypt() {
  char buffer[16 * 1024];
  while (FTls != nullptr && PlainWaiting() < static_cast<int>(kPlainRoom)) {
    ERR_clear_error();
    const int n = SSL_read(FTls, buffer, sizeof(buffer));
    if (n > 0) {
      if (FPlainPos > 0 && FPlainPos == FPlain.size()) {
        FPlain.clear();
        FPlainPos = 0;
      }
      FPlain.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    const int err = SSL_get_error(FTls, n);
    if (err == SSL_ERROR_ZERO_RETURN) FPeerClosedTls = true;
    // Anything else than "more please" ends what can be read: the close
    // that follows reports it.
    if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_ZERO_RETURN) {
      FTlsError = OpenSslErrors();
      FCipherEof = true;
    }
    break;
  }
}

void TCustomTlsWSocket::FillInfo() {
  FTlsInfo.Version = SSL_get_version(FTls);
  FTlsInfo.Cipher = SSL_get_cipher_name(FTls);
  FTlsInfo.Resumed = SSL_session_reused(FTls) == 1;
  FTlsInfo.VerifyCode = SSL_get_verify_result(FTls);
  X509* certificate = SSL_get1_peer_certificate(FTls);
  if (certificate == nullptr) {
    // Nothing to check is no proof.
    if (FTlsInfo.VerifyCode == X509_V_OK) FTlsInfo.VerifyCode = X509_V_ERR_UNSPECIFIED;
  } else {
    FTlsInfo.Subject = NameLine(X509_get_subject_name(certificate));
    FTlsInfo.Issuer = NameLine(X509_get_issuer_name(certificate));
    FTlsInfo.NotBefore = TimeLine(X509_get0_notBefore(certificate));
    FTlsInfo.NotAfter = TimeLine(X509_get0_notAfter(certificate));
    FTlsInfo.Fingerprint = Fingerprint(certificate);
    X509_free(certificate);
  }
  FTlsInfo.VerifyText = FTlsInfo.VerifyCode == X509_V_OK
                            ? std::string("verified")
                            : X509_verify_cert_error_string(FTlsInfo.VerifyCode);
}

// ---------------------------------------------------------------------------
// The owner's side

bool TCustomTlsWSocket::DoDataAvailable(std::uint16_t Error) {
  if (FTls == nullptr) return TCustomSocksWSocket::DoDataAvailable(Error);
  const std::weak_ptr<int> Alive = AliveToken();
  if (PlainWaiting() < kPlainLow && BIO_ctrl_pending(Bio(FReadBio)) < static_cast<std::size_t>(kCipherChunk))
    PullCipher();
  // After a failed handshake nothing more is understood; the owner closes.
  if (FTlsStage == tlsFailed) return true;
  if (FTlsStage == tlsHandshaking) {
    if (!AdvanceHandshake()) return true;
    if (FTlsStage != tlsUp) return true;
  }
  Decrypt();
  // Post-handshake messages may want an answer (a key update).
  PushCipher();
  if (Alive.expired() || FTls == nullptr) return true;
  if (FTlsStage == tlsClosing) {
    FPlain.clear();
    FPlainPos = 0;
    // The peer answered our close_notify, or went: the connection goes now.
    if (FPeerClosedTls || FCipherEof) TCustomSocksWSocket::Close();
    return true;
  }
  // The peer said goodbye and everything before it has been read: answer,
  // and the connection goes (a peer may wait for our close_notify).
  if (FPeerClosedTls && PlainWaiting() == 0) {
    ERR_clear_error();
    SSL_shutdown(FTls);
    PushCipher();
    if (Alive.expired()) return true;
    TCustomSocksWSocket::Close();
    return true;
  }
  if (PlainWaiting() > 0 || FCipherEof) return TCustomSocksWSocket::DoDataAvailable(Error);
  return true;
}

int TCustomTlsWSocket::RawReceive(void* Buffer, int BufferSize, int Flags) {
  if (FTls == nullptr) return TCustomSocksWSocket::RawReceive(Buffer, BufferSize, Flags);
  const int waiting = PlainWaiting();
  if (waiting == 0) {
    // The end of the stream once the peer has closed; else "later".
    if ((FCipherEof || FPeerClosedTls) && FTlsStage == tlsUp) return 0;
    plat::WSASetLastError(plat::WSAEWOULDBLOCK);
    return plat::SOCKET_ERROR;
  }
  const int count = std::min(BufferSize, waiting);
  if (count <= 0) return 0;
  std::memcpy(Buffer, FPlain.data() + FPlainPos, static_cast<std::size_t>(count));
  if ((Flags & MSG_PEEK) == 0) FPlainPos += static_cast<std::size_t>(count);
  return count;
}

int TCustomTlsWSocket::RcvdCount() {
  const int below = TCustomSocksWSocket::RcvdCount();
  if (FTls == nullptr || below < 0) return below;
  // The peer's close_notify still to be answered counts as something to read.
  const int goodbye = FTlsStage == tlsUp && FPeerClosedTls && PlainWaiting() == 0 ? 1 : 0;
  return PlainWaiting() + below + goodbye;
}

int TCustomTlsWSocket::Send(const void* Data, int Len) {
  if (FTls == nullptr) return TCustomSocksWSocket::Send(Data, Len);
  if (Len <= 0) return 0;
  if (FTlsStage == tlsHandshaking) {
    FPendingSend.append(static_cast<const char*>(Data), static_cast<std::size_t>(Len));
    return Len;
  }
  if (FTlsStage != tlsUp || FState != wsConnected) {
    plat::WSASetLastError(plat::WSAENOTCONN);
    return -1;
  }
  ERR_clear_error();
  const char* bytes = static_cast<const char*>(Data);
  int done = 0;
  while (done < Len) {
    const int n = SSL_write(FTls, bytes + done, Len - done);
    if (n <= 0) {
      FTlsError = OpenSslErrors();
      plat::WSASetLastError(plat::WSAECONNABORTED);
      return -1;
    }
    done += n;
  }
  PushCipher();
  return Len;
}

// ---------------------------------------------------------------------------
// Closing

void TCustomTlsWSocket::Close() {
  // The owner gives up a handshake: nothing to report to it.
  if (FTlsStage == tlsHandshaking) FTlsStage = tlsNone;
  // Encrypted and both ways open: say goodbye, then wait for the peer's.
  if (FTls != nullptr && FTlsStage == tlsUp && FState == wsConnected && !FCipherEof && !FPeerClosedTls) {
    FTlsStage = tlsClosing;
    ERR_clear_error();
    SSL_shutdown(FTls);
    const std::weak_ptr<int> Alive = AliveToken();
    PushCipher();
    if (Alive.expired()) return;
    // What already came may hold the answer.
    if (!FPeerClosedTls) Decrypt();
    if (!FPeerClosedTls && !FCipherEof) return;
  }
  TCustomSocksWSocket::Close();
}

void TCustomTlsWSocket::Abort() {
  DropTls();
  TCustomSocksWSocket::Abort();
}

void TCustomTlsWSocket::DoSessionClosed(std::uint16_t Error) {
  // A handshake the close cut short has ended too.
  if (FTlsStage == tlsHandshaking) {
    const std::weak_ptr<int> Alive = AliveToken();
    HandshakeFailed("the server closed the connection during the TLS handshake");
    if (Alive.expired()) return;
  }
  TCustomSocksWSocket::DoSessionClosed(Error);
}

void TCustomTlsWSocket::DoTlsDone(std::uint16_t Error) {
  if (OnTlsDone) OnTlsDone(this, Error);
}

void TCustomTlsWSocket::ResetToDefaults() {
  TCustomSocksWSocket::ResetToDefaults();
  DropTls();
}

void TCustomTlsWSocket::DropTls() {
  if (FTls != nullptr) SSL_free(FTls);  // frees both buffers
  FTls = nullptr;
  FReadBio = FWriteBio = nullptr;
  FTlsStage = tlsNone;
  FJar.reset();
  FPlain.clear();
  FPlainPos = 0;
  FPendingSend.clear();
  FCipherEof = false;
  FPeerClosedTls = false;
}
