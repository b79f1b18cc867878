# pyftpdlib on 127.0.0.1 as a server far away: every reply, and every data
# connection it accepts or opens, comes VEK_FTP_DELAY_MS later. The delays run
# on the server's own loop (call_later), so one client's wait never holds up
# another's. Prints "LISTENING <port>" once it takes connections; ends by
# itself after VEK_FTP_LIFETIME seconds so a lost benchmark never leaves it.
import collections
import logging
import os
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, PassiveDTP
from pyftpdlib.servers import FTPServer

delay = float(os.environ.get("VEK_FTP_DELAY_MS") or 0) / 1000.0
lifetime = float(os.environ.get("VEK_FTP_LIFETIME") or 300)

authorizer = DummyAuthorizer()
authorizer.add_user(os.environ["VEK_FTP_USER"], os.environ["VEK_FTP_PASSWORD"], os.environ["VEK_FTP_ROOT"],
                    perm="elradfmwMT")


class DelayedPassiveDTP(PassiveDTP):
    # The client's connect completes in the kernel at once; the server takes
    # the connection up only after the delay, as if the SYN were still on its way.
    def handle_accepted(self, sock, addr):
        self.ioloop.call_later(delay, self._accepted_later, sock, addr, _errback=self.handle_error)

    def _accepted_later(self, sock, addr):
        if getattr(self, "_closed", False):
            # A newer PASV or an ABOR replaced this listener meanwhile.
            sock.close()
            return
        PassiveDTP.handle_accepted(self, sock, addr)


class DelayedHandler(FTPHandler):
    def __init__(self, conn, server, ioloop=None):
        # Control-channel text waiting for its delay, oldest first; each
        # timer sends the oldest, so lines keep their order whatever the timers do.
        self._held = collections.deque()
        self._close_when_sent = False
        FTPHandler.__init__(self, conn, server, ioloop)

    def push(self, s):
        if delay <= 0:
            return FTPHandler.push(self, s)
        self._held.append(s)
        self.ioloop.call_later(delay, self._send_oldest, _errback=self.handle_error)

    def _send_oldest(self):
        if not self._held:
            return
        s = self._held.popleft()
        if self._closed:
            self._held.clear()
            return
        FTPHandler.push(self, s)
        if not self._held and self._close_when_sent:
            FTPHandler.close_when_done(self)

    def close_when_done(self):
        # QUIT's 221 is still held: close once it has gone.
        if self._held:
            self._close_when_sent = True
        else:
            FTPHandler.close_when_done(self)

    # The server opens an active data connection only after the delay (its
    # 200 comes once connected, so the client waits for it anyway).
    def ftp_PORT(self, line):
        self.ioloop.call_later(delay, self._later, FTPHandler.ftp_PORT, line, _errback=self.handle_error)

    def ftp_EPRT(self, line):
        self.ioloop.call_later(delay, self._later, FTPHandler.ftp_EPRT, line, _errback=self.handle_error)

    def _later(self, command, line):
        if not self._closed:
            command(self, line)


DelayedHandler.authorizer = authorizer
DelayedHandler.passive_dtp = DelayedPassiveDTP
DelayedHandler.permit_foreign_addresses = False
DelayedHandler.banner = "latency bench ready"

# One line per command would cost the server more than the files do.
logging.basicConfig(level=logging.WARNING)
server = FTPServer(("127.0.0.1", 0), DelayedHandler)
server.max_cons = 256
timer = threading.Timer(lifetime, lambda: os._exit(3))
timer.daemon = True
timer.start()
print("LISTENING %d" % server.address[1], flush=True)
server.serve_forever(handle_exit=False)
