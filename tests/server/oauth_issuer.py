"""An authorization server's public side for tests: keys made here, its
metadata and key set served on 127.0.0.1 by a thread, tokens signed with
PyJWT."""

import http.server
import json
import threading
import time

import jwt
from cryptography.hazmat.primitives.asymmetric import ec, rsa

BOTH = "kelvo:read kelvo:write"


class Issuer:
    """An authorization server's public side: its metadata at OpenID's
    appended form (`forms` adds others) and its key set, on a loopback port;
    every path asked for is kept in `asked`."""

    def __init__(self, path="/realms/team"):
        self.keys = {"k1": ec.generate_private_key(ec.SECP256R1())}
        self.resource = None  # the audience its tokens name: set when the server starts
        self.asked = []
        self.docs = {}
        issuer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                issuer.asked.append(self.path)
                doc = issuer.docs.get(self.path)
                if self.path == "/jwks":
                    doc = issuer.jwks()
                body = json.dumps(doc).encode()
                self.send_response(200 if doc is not None else 404)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        base = f"http://127.0.0.1:{self.server.server_address[1]}"
        self.url, self.jwks_url = base + path, base + "/jwks"
        self.docs[f"{path}/.well-known/openid-configuration"] = {"issuer": self.url, "jwks_uri": self.jwks_url}
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def jwks(self):
        keys = []
        for kid, key in self.keys.items():
            kind = jwt.algorithms.RSAAlgorithm if isinstance(key, rsa.RSAPrivateKey) else jwt.algorithms.ECAlgorithm
            jwk = json.loads(kind.to_jwk(key.public_key()))
            keys.append({**jwk, "kid": kid, "use": "sig"})
        return {"keys": keys}

    @property
    def fetched(self):
        return self.asked.count("/jwks")

    def token(self, kid="k1", *, key=None, alg="ES256", headers=None, **claims):
        now = int(time.time())
        payload = {"iss": self.url, "sub": "user-1", "aud": self.resource, "iat": now, "exp": now + 300,
                   "scope": BOTH, **claims}
        payload = {k: v for k, v in payload.items() if v is not None}
        return jwt.encode(payload, key or self.keys[kid], algorithm=alg,
                          headers={"kid": kid, "typ": "at+jwt", **(headers or {})})

    def close(self):
        self.server.shutdown()
        self.server.server_close()
