"""pyftpdlib's FTP server over TLS for the tests, anonymous users writing below the root.

Usage: tls_ftp_server.py PORT ROOT FIRST_PASSIVE LAST_PASSIVE CERTIFICATE KEY [MODE...]
MODE: implicit (TLS from the first byte), refuse-prot (PROT is answered 534),
no-close-notify (data connections end without close_notify), corrupt-data (after 100,000 bytes
of a download a record that does not decrypt, then the end of the data connection).
"""
import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import TLS_DTPHandler, TLS_FTPHandler
from pyftpdlib.servers import FTPServer

port, root, first, last, certificate, key = sys.argv[1:7]
modes = set(sys.argv[7:])


class DataHandler(TLS_DTPHandler):
    sent = 0

    def send(self, data):
        if "corrupt-data" in modes and self.sent >= 100000:
            # An application data record the client cannot decrypt, sent past TLS.
            os.write(self.socket.fileno(), b"\x17\x03\x03\x00\x20" + b"\x00" * 32)
            self._ssl_established = False
            self.handle_close()  # the control connection gets the transfer's 426
            return 0
        count = super().send(data)
        self.sent += count
        return count
    def close(self):
        if "no-close-notify" in modes:
            # The socket closes as a plain one: the client reads the end without close_notify.
            self._ssl_established = False
        super().close()


class Handler(TLS_FTPHandler):
    certfile = certificate
    keyfile = key
    tls_control_required = True
    tls_data_required = True
    dtp_handler = DataHandler
    passive_ports = range(int(first), int(last) + 1)

    def handle(self):
        if "implicit" in modes:
            self._greeted = False
            self.secure_connection(self.ssl_context)
        else:
            super().handle()

    def handle_ssl_established(self):
        if "implicit" in modes and not self._greeted:
            self._greeted = True
            super().handle()

    def ftp_PROT(self, line):
        if "refuse-prot" in modes:
            self.respond("534 PROT refused by policy.")
        else:
            super().ftp_PROT(line)


authorizer = DummyAuthorizer()
authorizer.add_anonymous(root, perm="elradfmwMT")
Handler.authorizer = authorizer
server = FTPServer(("127.0.0.1", int(port)), Handler)
server.serve_forever()
