#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
# A chat webhook and an SMTP relay (STARTTLS) on loopback that keep what they are sent in FOLDER
# ("posted", "mailed"). Prints their two ports. Usage: alert_sinks.py FOLDER CERT KEY
import http.server, socket, ssl, sys, threading
folder, cert, key = sys.argv[1:4]

class Chat(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        with open(folder + "/posted", "ab") as out:
            out.write(self.rfile.read(int(self.headers["Content-Length"])))
        self.send_response(200)
        self.end_headers()

def relay(server):
    tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    tls.load_cert_chain(cert, key)
    while True:
        conn, _ = server.accept()
        lines = conn.makefile("rwb")
        def say(text):
            lines.write(text.encode() + b"\r\n")
            lines.flush()
        say("220 relay")
        while (verb := lines.readline()[:4].upper()) not in (b"", b"QUIT"):
            if verb == b"STAR":
                say("220 go on")
                conn = tls.wrap_socket(conn, server_side=True)
                lines = conn.makefile("rwb")
            elif verb == b"DATA":
                say("354 end with .")
                with open(folder + "/mailed", "ab") as out:
                    out.write(b"".join(iter(lines.readline, b".\r\n")))
                say("250 kept")
            else:  # STARTTLS is offered until it is taken
                tls_yet = isinstance(conn, ssl.SSLSocket)
                say("250-relay\r\n250 STARTTLS" if verb == b"EHLO" and not tls_yet else "250 ok")
        if verb:
            say("221 bye")
        conn.close()

chat = http.server.HTTPServer(("127.0.0.1", 0), Chat)
smtp = socket.create_server(("127.0.0.1", 0))
threading.Thread(target=relay, args=(smtp,), daemon=True).start()
print(chat.server_port, smtp.getsockname()[1], flush=True)
chat.serve_forever()
