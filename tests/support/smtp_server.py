#!/usr/bin/python3
"""Recording SMTP server for the tests (aiosmtpd).

Listens on 127.0.0.1 at a port the system picks and writes that port to
<dir>/port once it accepts connections. Every accepted message becomes a file
<dir>/msg-NNNNNN.eml: a small envelope block ("session: n", "from: addr",
"rcpt: addr" lines, then an empty line) followed by the data exactly as
received. <dir>/sessions holds the number of connections so far.

--chunking offers CHUNKING (RFC 3030): BDAT chunks are taken as they come and
the message is the joined chunks. --refuse-content TEXT refuses (554) every
message whose data contains TEXT, whichever way it came.
"""

import argparse
import asyncio
import os
import signal
import ssl

from aiosmtpd.smtp import MISSING, SMTP, AuthResult, LoginPassword


class State:
    sessions = 0
    messages = 0


def write_atomic(path, data):
    # The test reads while the server runs: never let it see half a file.
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.rename(tmp, path)


class Recorder:
    def __init__(self, folder, refuse_rcpt, refuse_from, pipelining, chunking=False,
                 refuse_content=(), no_8bitmime=False):
        self.folder = folder
        self.pipelining = pipelining
        self.no_8bitmime = no_8bitmime
        self.chunking = chunking
        self.refuse_content = [t.encode("utf-8") for t in refuse_content]
        self.refuse_rcpt = {a.lower() for a in refuse_rcpt}
        self.refuse_from = {a.lower() for a in refuse_from}

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        # aiosmtpd reads commands one after another from the stream, so it
        # serves pipelined clients; it just does not say so.
        if self.pipelining:
            responses.insert(len(responses) - 1, "250-PIPELINING")
        if self.no_8bitmime:
            # A 7-bit server: no 8BITMIME, and 8-bit data refused as such.
            responses[:] = [r for r in responses if r[4:] != "8BITMIME"]
        if self.chunking:
            responses.insert(len(responses) - 1, "250-CHUNKING")
        return responses

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        if address.lower() in self.refuse_from:
            return "550 5.7.1 Sender refused"
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower() in self.refuse_rcpt:
            return "550 5.1.1 Recipient refused"
        envelope.rcpt_tos.append(address)
        envelope.rcpt_options.extend(rcpt_options)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        data = envelope.original_content or b""
        if self.no_8bitmime and any(b > 127 for b in data):
            return "554 5.6.1 8-bit data without 8BITMIME"
        if any(t in data for t in self.refuse_content):
            return "554 5.6.0 Message refused"
        State.messages += 1
        head = "session: %d\n" % getattr(session, "vorel_number", 0)
        head += "from: %s\n" % envelope.mail_from
        head += "options: %s\n" % " ".join(envelope.mail_options)
        for rcpt in envelope.rcpt_tos:
            head += "rcpt: %s\n" % rcpt
        head += "\n"
        write_atomic(
            os.path.join(self.folder, "msg-%06d.eml" % State.messages),
            head.encode("utf-8", "surrogateescape") + data,
        )
        return "250 Message accepted"


class CountingSMTP(SMTP):
    def connection_made(self, transport):
        super().connection_made(transport)
        State.sessions += 1
        self.session.vorel_number = State.sessions
        write_atomic(os.path.join(self.folder, "sessions"), b"%d\n" % State.sessions)

    async def smtp_BDAT(self, arg):
        if not self.event_handler.chunking:
            await self.push('500 Error: command "BDAT" not recognized')
            return
        words = (arg or "").split()
        last = len(words) == 2 and words[1].upper() == "LAST"
        if len(words) not in (1, 2) or (len(words) == 2 and not last) or not words[0].isdigit():
            # The chunk's length is unknown, so the stream cannot be followed.
            await self.push("501 Syntax: BDAT size [LAST]")
            self.transport.close()
            return
        # The chunk is read whatever the answer, so that the next command
        # starts where it should.
        chunk = await self._reader.readexactly(int(words[0]))
        chunks = getattr(self.envelope, "vorel_chunks", None)
        if chunks is None:
            chunks = self.envelope.vorel_chunks = []
        if not self.envelope.rcpt_tos:
            self._set_post_data_state()
            await self.push("554 5.5.1 Error: no valid recipients")
            return
        chunks.append(chunk)
        if not last:
            await self.push("250 %d octets received" % len(chunk))
            return
        self.envelope.original_content = b"".join(chunks)
        self.envelope.content = self.envelope.original_content
        status = await self._call_handler_hook("DATA")
        self._set_post_data_state()
        await self.push("250 OK" if status is MISSING else status)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--auth-user", default="")
    parser.add_argument("--auth-password", default="")
    parser.add_argument("--refuse-rcpt", action="append", default=[])
    parser.add_argument("--refuse-from", action="append", default=[])
    parser.add_argument("--pipelining", action="store_true")
    parser.add_argument("--smtputf8", action="store_true")
    parser.add_argument("--no-8bitmime", action="store_true")
    parser.add_argument("--chunking", action="store_true")
    parser.add_argument("--refuse-content", action="append", default=[])
    parser.add_argument("--tls-cert", default="")
    parser.add_argument("--tls-key", default="")
    args = parser.parse_args()

    recorder = Recorder(args.dir, args.refuse_rcpt, args.refuse_from, args.pipelining,
                        args.chunking, args.refuse_content, args.no_8bitmime)

    def authenticator(server, session, envelope, mechanism, auth_data):
        if (
            isinstance(auth_data, LoginPassword)
            and auth_data.login.decode("utf-8", "replace") == args.auth_user
            and auth_data.password.decode("utf-8", "replace") == args.auth_password
        ):
            return AuthResult(success=True)
        # handled=False makes aiosmtpd answer 535; otherwise the client waits.
        return AuthResult(success=False, handled=False)

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)

    context = None
    if args.tls_cert:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.tls_cert, args.tls_key)

    def factory(starttls=True):
        kwargs = dict(hostname="vorel-test-smtp", data_size_limit=None,
                      enable_SMTPUTF8=args.smtputf8)
        if context is not None and starttls:
            kwargs.update(tls_context=context)
        if args.auth_user:
            kwargs.update(authenticator=authenticator, auth_required=True,
                          auth_require_tls=False)
        server = CountingSMTP(recorder, loop=loop, **kwargs)
        server.folder = args.dir
        return server

    server = loop.run_until_complete(loop.create_server(factory, "127.0.0.1", 0))
    port = server.sockets[0].getsockname()[1]
    if context is not None:
        # TLS from the first byte on a second port (no STARTTLS there).
        secure = loop.run_until_complete(
            loop.create_server(lambda: factory(False), "127.0.0.1", 0, ssl=context))
        tls_port = secure.sockets[0].getsockname()[1]
        write_atomic(os.path.join(args.dir, "tlsport"), b"%d\n" % tls_port)
    write_atomic(os.path.join(args.dir, "port"), b"%d\n" % port)
    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    try:
        loop.run_forever()
    finally:
        server.close()


if __name__ == "__main__":
    main()
