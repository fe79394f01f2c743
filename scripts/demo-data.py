#!/usr/bin/python3
"""Data for scripts/demo: the sample mailbox, the application folder and the
summary of what the SMTP server received.

  demo-data.py mailbox MAILDIR            seed the sample messages
  demo-data.py folder APPDIR POP SMTP USER PASSWORD
                                          setup.ini, antispam.lst, data.mdb rows
  demo-data.py summary SPOOLDIR           one line per message received
"""

import email
import email.header
import email.policy
import os
import sqlite3
import sys

CRLF = "\r\n"

MESSAGES = [
    # An autoresponder trigger whose sender filled in merge fields.
    """From: Dana Buyer <dana@customer.example>
To: info@shop.example
Subject: Price list please
Date: Sun, 06 Dec 2026 08:00:00 +0000
Message-ID: <demo-1@customer.example>

Hello, please send me your price list.

%vorelcode%
name=Dana
company=Acme Ltd
""",
    # A subscribe request to the NEWS list.
    """From: Eve Reader <eve@reader.example>
To: join-news@shop.example
Subject: subscribe
Date: Sun, 06 Dec 2026 08:01:00 +0000
Message-ID: <demo-2@reader.example>

Please add me.
""",
    # A post by a member of the NEWS list: copied to every member.
    """From: Frank Member <frank@member.example>
To: news@shop.example
Subject: Meeting on Friday
Date: Sun, 06 Dec 2026 08:02:00 +0000
Message-ID: <demo-3@member.example>

The next meeting is on Friday at ten.
""",
    # Spam: its sender is on the anti-spam list, so it is deleted unanswered.
    """From: Cheap Offers <offers@spam.example>
To: info@shop.example
Subject: You have won
Date: Sun, 06 Dec 2026 08:03:00 +0000
Message-ID: <demo-4@spam.example>

Click here.
""",
    # An unsubscribe request from the member who posted.
    """From: Frank Member <frank@member.example>
To: leave-news@shop.example
Subject: unsubscribe
Date: Sun, 06 Dec 2026 08:04:00 +0000
Message-ID: <demo-5@member.example>

Please remove me.
""",
]


def seed_mailbox(maildir):
    for n, text in enumerate(MESSAGES, start=1):
        name = "%010d.demo" % n
        tmp = os.path.join(maildir, "tmp", name)
        with open(tmp, "wb") as f:
            f.write(text.replace("\n", CRLF).encode("ascii"))
        os.rename(tmp, os.path.join(maildir, "new", name))


def write_lines(path, lines):
    with open(path, "wb") as f:
        f.write("".join(line + CRLF for line in lines).encode("utf-8"))


def write_folder(folder, pop, smtp, user, password):
    write_lines(os.path.join(folder, "setup.ini"), [
        pop, smtp, user, password,
        "0",   # chkLEAVE: delete handled messages from the server
        "1",   # chkLOG
        "",    # txtAUTOFORWARD
        "",    # txtRUNPROGRAM
        "",    # txtEMAILLOG
        "0", "", "", "", "",  # no dial-up, no auto-run
        "0",   # chkAUTODISCONNECT
        "30",  # txtTIMEOUT
        "0",   # chkESMTP
        "0",   # chkDEBUG
    ])
    write_lines(os.path.join(folder, "antispam.lst"), ["offers@spam.example\t\t"])

    db = sqlite3.connect(os.path.join(folder, "data.mdb"))
    with db:
        db.execute(
            'INSERT INTO autoresponders (Name, "To", Subject, msgfrom, msgsubject, message,'
            " mailto, Counter) VALUES (?, ?, ?, ?, ?, ?, ?, 0)",
            ("PRICES", "info@shop.example", "price list", "sales@shop.example",
             "Our price list",
             "Dear %name% of %company%," + CRLF + CRLF
             + "thank you for your message of %date% at %time%." + CRLF
             + "Our price list follows; we will write to %email% again soon."
             + CRLF + CRLF + "Widgets ... 10.00" + CRLF + "Gadgets ... 12.50 ",
             "manager@shop.example"))
        db.execute(
            "INSERT INTO mailling (Name, Type, textTOADD, subscribefrom, subscribesubject,"
            " subscribemessage, unsubscribefrom, unsubscribesubject, unsubscribemessage,"
            " sendtolistfrom, sendtolistsubject, onsubscribeto, onsubscribesubject,"
            " onunsubscribeto, onunsubscribesubject)"
            " VALUES (?, 1, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            ("NEWS",
             "--" + CRLF + "NEWS list: write to leave-news@shop.example to leave.",
             "news@shop.example", "Welcome to NEWS",
             "Welcome to the NEWS list, %email%! You joined on %date%.",
             "news@shop.example", "Goodbye from NEWS",
             "You have left the NEWS list.",
             "news@shop.example", "news post",
             "join-news@shop.example", "join news",
             "leave-news@shop.example", "leave news"))
        db.execute("INSERT INTO emails (name, Email, Data) VALUES (?, ?, ?)",
                   ("NEWS", "frank@member.example", ""))
    db.close()


def decoded(value):
    if value is None:
        return ""
    text = str(email.header.make_header(email.header.decode_header(value)))
    return " ".join(text.split())


def summary(spool):
    names = sorted(n for n in os.listdir(spool) if n.startswith("msg-") and n.endswith(".eml"))
    print("%d message(s) received by the SMTP server:" % len(names))
    shown = []
    for name in names:
        with open(os.path.join(spool, name), "rb") as f:
            raw = f.read()
        head, _, data = raw.partition(b"\n\n")
        rcpts = [line[6:].decode() for line in head.split(b"\n") if line.startswith(b"rcpt: ")]
        sender = next((line[6:].decode() for line in head.split(b"\n")
                       if line.startswith(b"from: ")), "")
        msg = email.message_from_bytes(data, policy=email.policy.compat32)
        subject = decoded(msg["Subject"])
        print("  from %-22s to %-24s subject %s" % (sender, ", ".join(rcpts), subject))
        shown.append((subject, msg))
    # The autoresponder's reply, to show its merged fields.
    for subject, msg in shown:
        if subject == "Our price list" and not msg.is_multipart():
            print("The autoresponder's reply, merge codes filled in:")
            text = msg.get_payload(decode=True).decode("utf-8", "replace")
            for line in text.splitlines():
                print("  | " + line)
            break


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "mailbox":
        seed_mailbox(sys.argv[2])
    elif len(sys.argv) == 7 and sys.argv[1] == "folder":
        write_folder(*sys.argv[2:])
    elif len(sys.argv) == 3 and sys.argv[1] == "summary":
        summary(sys.argv[2])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
