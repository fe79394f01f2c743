#!/usr/bin/python3
"""Recording SMTP server for the tests (aiosmtpd) on 127.0.0.1. Writes <dir>/port (and tlsport),
<dir>/sessions (connections so far) and one <dir>/msg-NNNNNN.eml per message: "session: n",
"from: addr", "options: ...", "rcpt: addr" lines, an empty line, the data as received."""

import argparse
import asyncio
import os
import ssl

from aiosmtpd.smtp import MISSING, SMTP, AuthResult, LoginPassword

p = argparse.ArgumentParser()
for name in ("dir", "auth-user", "auth-password", "tls-cert", "tls-key", "limit-reply"):
    p.add_argument("--" + name, default="")
for name in ("refuse-rcpt", "refuse-from", "refuse-content", "reply"):
    p.add_argument("--" + name, action="append", default=[])
for name in ("pipelining", "smtputf8", "no-8bitmime", "chunking"):
    p.add_argument("--" + name, action="store_true")
p.add_argument("--limit-after", type=int, default=-1)
p.add_argument("--max-rcpt", type=int, default=0)  # then 452 4.5.3 in the transaction
args = p.parse_args()
count = {"sessions": 0, "messages": 0, "limited": 0}
# --reply "mail|rcpt|data:WORD:REPLY": that reply where the address (or the data) holds WORD.
scripted = [r.split(":", 2) for r in args.reply]


def scripted_reply(stage, text):
    for s, word, reply in scripted:
        if s == stage and word.lower() in text.lower():
            return reply
    return None


def write_atomic(name, data):  # the test reads while the server runs
    path = os.path.join(args.dir, name)
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    os.rename(path + ".tmp", path)


class Recorder:
    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        # aiosmtpd serves pipelined clients and BDAT (below); it just does not say so.
        if args.no_8bitmime:
            responses[:] = [r for r in responses if r[4:] != "8BITMIME"]
        for offered, word in ((args.pipelining, "PIPELINING"), (args.chunking, "CHUNKING")):
            if offered:
                responses.insert(len(responses) - 1, "250-" + word)
        return responses

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        if address.lower() in map(str.lower, args.refuse_from):
            return "550 5.7.1 Sender refused"
        if scripted_reply("mail", address):
            return scripted_reply("mail", address)
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if 0 <= args.limit_after <= count["messages"]:  # a provider's cap was reached
            count["limited"] += 1
            write_atomic("limited", b"%d\n" % count["limited"])
            return args.limit_reply
        if address.lower() in map(str.lower, args.refuse_rcpt):
            return "550 5.1.1 Recipient refused"
        if scripted_reply("rcpt", address):
            return scripted_reply("rcpt", address)
        if 0 < args.max_rcpt <= len(envelope.rcpt_tos):
            return "452 4.5.3 Too many recipients"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        data = envelope.original_content or b""
        if args.no_8bitmime and any(b > 127 for b in data):
            return "554 5.6.1 8-bit data without 8BITMIME"
        if any(t.encode() in data for t in args.refuse_content):
            return "554 5.6.0 Message refused"
        if scripted_reply("data", data.decode("latin-1")):
            return scripted_reply("data", data.decode("latin-1"))
        count["messages"] += 1
        head = "session: %d\nfrom: %s\noptions: %s\n" % (
            session.vorel_number, envelope.mail_from, " ".join(envelope.mail_options))
        head += "".join("rcpt: %s\n" % r for r in envelope.rcpt_tos) + "\n"
        write_atomic("msg-%06d.eml" % count["messages"],
                     head.encode("utf-8", "surrogateescape") + data)
        return "250 Message accepted"


class CountingSMTP(SMTP):
    def connection_made(self, transport):
        super().connection_made(transport)
        count["sessions"] = self.session.vorel_number = count["sessions"] + 1
        write_atomic("sessions", b"%d\n" % count["sessions"])

    async def smtp_BDAT(self, arg):
        if not args.chunking:
            return await self.push('500 Error: command "BDAT" not recognized')
        words = (arg or "").split()
        last = len(words) == 2 and words[1].upper() == "LAST"
        if len(words) not in (1, 2) or (len(words) == 2 and not last) or not words[0].isdigit():
            # The chunk's length is unknown, so the stream cannot be followed.
            await self.push("501 Syntax: BDAT size [LAST]")
            return self.transport.close()
        # Read whatever the answer, so that the next command starts where it should.
        chunk = await self._reader.readexactly(int(words[0]))
        if not self.envelope.rcpt_tos:
            self._set_post_data_state()
            return await self.push("554 5.5.1 Error: no valid recipients")
        self.envelope.vorel_chunks = getattr(self.envelope, "vorel_chunks", []) + [chunk]
        if not last:
            return await self.push("250 %d octets received" % len(chunk))
        self.envelope.original_content = self.envelope.content = b"".join(
            self.envelope.vorel_chunks)
        status = await self._call_handler_hook("DATA")
        self._set_post_data_state()
        await self.push("250 OK" if status is MISSING else status)


def authenticator(server, session, envelope, mechanism, data):
    ok = isinstance(data, LoginPassword) and (data.login, data.password) == (
        args.auth_user.encode(), args.auth_password.encode())
    # handled=False makes aiosmtpd answer 535; otherwise the client waits.
    return AuthResult(success=ok, handled=ok)


loop = asyncio.new_event_loop()
asyncio.set_event_loop(loop)
context = None
if args.tls_cert:
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(args.tls_cert, args.tls_key)


def factory(starttls=True):
    auth = dict(authenticator=authenticator, auth_required=True, auth_require_tls=False)
    return CountingSMTP(Recorder(), hostname="vorel-test-smtp", data_size_limit=None,
                        loop=loop,
                        enable_SMTPUTF8=args.smtputf8, tls_context=context if starttls else None,
                        **(auth if args.auth_user else {}))


server = loop.run_until_complete(loop.create_server(factory, "127.0.0.1", 0))
if context is not None:
    # TLS from the first byte on a second port (no STARTTLS there).
    secure = loop.run_until_complete(
        loop.create_server(lambda: factory(False), "127.0.0.1", 0, ssl=context))
    write_atomic("tlsport", b"%d\n" % secure.sockets[0].getsockname()[1])
write_atomic("port", b"%d\n" % server.sockets[0].getsockname()[1])
loop.run_forever()
