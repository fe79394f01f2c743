#!/usr/bin/python3
"""OAuth2 provider stub for the tests on 127.0.0.1: authorization endpoint (GET /authorize: a
302 to the redirect URI with code and state), token endpoint (POST /token: authorization_code
checked against the PKCE S256 challenge, refresh_token), Dovecot's introspection endpoint
(POST /introspect), the device-code flow (POST /devicecode) and POST /control for the test (revoke=1: every refresh token refused with
invalid_grant; stale_next=1: the next access token issued is refused once used; refresh=T:
T is a good refresh token). Writes <dir>/port, appends one line per token request to
<dir>/requests.log and every token issued to <dir>/issued.log."""

import argparse
import base64
import hashlib
import json
import os
import secrets
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlencode, urlparse

p = argparse.ArgumentParser()
p.add_argument("--dir", required=True)
p.add_argument("--user", required=True)
p.add_argument("--client-id", default="vorel-test-client")
args = p.parse_args()

lock = threading.Lock()
codes = {}  # code -> (challenge, redirect_uri)
refresh_tokens = set()
access_tokens = set()
devices = {}  # device code -> polls so far
flags = {"revoked": False, "stale_next": False}


def log(line):
    with open(os.path.join(args.dir, "requests.log"), "a") as f:
        f.write(line + "\n")


def issue_tokens():
    access = "at-" + secrets.token_urlsafe(24)
    refresh = "rt-" + secrets.token_urlsafe(24)
    if flags["stale_next"]:
        flags["stale_next"] = False
    else:
        access_tokens.add(access)
    refresh_tokens.add(refresh)
    with open(os.path.join(args.dir, "issued.log"), "a") as f:
        f.write(access + "\n" + refresh + "\n")
    claims = base64.urlsafe_b64encode(json.dumps({"preferred_username": args.user}).encode())
    id_token = "e30." + claims.decode().rstrip("=") + ".sig"
    return {"access_token": access, "refresh_token": refresh, "expires_in": 3600,
            "token_type": "Bearer", "id_token": id_token}


class Handler(BaseHTTPRequestHandler):
    def log_message(self, *a):
        pass

    def reply(self, status, body):
        data = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def form(self):
        n = int(self.headers.get("Content-Length", "0"))
        return {k: v[0] for k, v in parse_qs(self.rfile.read(n).decode()).items()}

    def do_GET(self):
        url = urlparse(self.path)
        q = {k: v[0] for k, v in parse_qs(url.query).items()}
        if url.path != "/authorize" or q.get("client_id") != args.client_id \
                or q.get("code_challenge_method") != "S256" or q.get("response_type") != "code":
            return self.reply(400, {"error": "invalid_request"})
        code = secrets.token_urlsafe(16)
        with lock:
            codes[code] = (q["code_challenge"], q["redirect_uri"])
        target = q["redirect_uri"] + "?" + urlencode({"code": code, "state": q["state"]})
        self.send_response(302)
        self.send_header("Location", target)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def do_POST(self):
        f = self.form()
        with lock:
            if self.path == "/introspect":
                ok = f.get("token") in access_tokens
                return self.reply(200, {"active": True, "username": args.user} if ok
                                  else {"active": False})
            if self.path == "/control":
                flags["revoked"] = flags["revoked"] or f.get("revoke") == "1"
                flags["stale_next"] = flags["stale_next"] or f.get("stale_next") == "1"
                if f.get("refresh"):
                    refresh_tokens.add(f["refresh"])
                return self.reply(200, {})
            if self.path == "/devicecode" and f.get("client_id") == args.client_id:
                device = secrets.token_urlsafe(16)
                devices[device] = 0
                return self.reply(200, {"device_code": device, "user_code": "ABCD-EFGH",
                                        "verification_uri": "http://127.0.0.1/device",
                                        "interval": 1, "expires_in": 60})
            if self.path != "/token" or f.get("client_id") != args.client_id:
                return self.reply(400, {"error": "invalid_client"})
            grant = f.get("grant_type")
            log(grant or "")
            if grant == "authorization_code":
                challenge, redirect = codes.pop(f.get("code"), (None, None))
                verifier = f.get("code_verifier", "").encode()
                digest = base64.urlsafe_b64encode(hashlib.sha256(verifier).digest())
                if challenge is None or digest.decode().rstrip("=") != challenge \
                        or f.get("redirect_uri") != redirect:
                    return self.reply(400, {"error": "invalid_grant",
                                            "error_description": "bad code or verifier"})
                return self.reply(200, issue_tokens())
            if grant == "refresh_token":
                if flags["revoked"] or f.get("refresh_token") not in refresh_tokens:
                    return self.reply(400, {"error": "invalid_grant",
                                            "error_description": "AADSTS70008: the refresh "
                                            "token has expired"})
                return self.reply(200, issue_tokens())
            if grant == "urn:ietf:params:oauth:grant-type:device_code":
                # The user finishes in the browser between the first poll and the second.
                polls = devices.get(f.get("device_code"))
                if polls is None:
                    return self.reply(400, {"error": "expired_token"})
                devices[f["device_code"]] = polls + 1
                if polls == 0:
                    return self.reply(400, {"error": "authorization_pending"})
                return self.reply(200, issue_tokens())
            return self.reply(400, {"error": "unsupported_grant_type"})


server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
with open(os.path.join(args.dir, "port.tmp"), "w") as out:
    out.write(str(server.server_address[1]))
os.rename(os.path.join(args.dir, "port.tmp"), os.path.join(args.dir, "port"))
server.serve_forever()
