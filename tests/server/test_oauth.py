"""The server as an OAuth resource server, against an authorization server
of the test's own: its keys made here, its metadata and key set served on
127.0.0.1 by a thread of the test, its tokens signed with PyJWT, and the
calls made through the SDK's client with a bearer header."""

import base64
import contextlib
import hashlib
import hmac
import json
import time

import pytest

pytest.importorskip("mcp")

import anyio  # noqa: E402
import httpx  # noqa: E402
import jwt  # noqa: E402
from cryptography.hazmat.primitives import serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import ec, rsa  # noqa: E402

from kelvo_mcp.server import cli  # noqa: E402
from kelvo_mcp.server.oauth import OAuthSettings, ResourceServer  # noqa: E402

from http_host import Process, client, serving  # noqa: E402
from oauth_issuer import BOTH, Issuer  # noqa: E402
from server_session import reply_of  # noqa: E402

pytestmark = pytest.mark.anyio

ACCEPT = {"Accept": "application/json, text/event-stream"}
INITIALIZE = {"jsonrpc": "2.0", "id": 1, "method": "initialize",
              "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                         "clientInfo": {"name": "probe", "version": "0"}}}


def unsigned(header, payload, sign=lambda data: b""):
    """A token put together by hand, for what PyJWT will not sign."""
    part = lambda d: base64.urlsafe_b64encode(json.dumps(d).encode()).rstrip(b"=")  # noqa: E731
    data = part(header) + b"." + part(payload)
    return (data + b"." + base64.urlsafe_b64encode(sign(data)).rstrip(b"=")).decode()


@pytest.fixture
def issuer():
    iss = Issuer()
    yield iss
    iss.close()


@contextlib.asynccontextmanager
async def resource_server(engine, issuer, token=None, now=None, **settings):
    """The server with OAuth on for `issuer` (and a token file, `token`); yields its URL, host and ResourceServer."""
    made = []

    def oauth(url, tokens):
        issuer.resource = url
        made.append(ResourceServer(OAuthSettings(url, (issuer.url,), **settings), tokens, fetch_seconds=5,
                                   clock=(lambda: now[0]) if now is not None else time.monotonic))
        return made[0]

    with anyio.fail_after(60):
        async with serving(engine, token=token, oauth=oauth) as (url, host):
            yield url, host, made[0]


async def post(url, token=None):
    headers = {**ACCEPT, **({"Authorization": f"Bearer {token}"} if token else {})}
    async with httpx.AsyncClient() as http:
        return await http.post(url, json=INITIALIZE, headers=headers)


async def test_the_metadata_and_the_challenges_read_as_a_client_reads_them(engine, issuer):
    import httpx2
    from mcp.client.auth.utils import (build_protected_resource_metadata_discovery_urls, extract_field_from_www_auth,
                                       extract_resource_metadata_from_www_auth, extract_scope_from_www_auth,
                                       handle_protected_resource_response)

    async with resource_server(engine, issuer) as (url, host, _):
        base = url.rsplit("/", 1)[0]
        async with httpx2.AsyncClient() as http:
            bare = await http.post(url, json=INITIALIZE, headers=ACCEPT)
            forged = await http.post(url, json=INITIALIZE, headers={**ACCEPT, "Authorization": "Bearer x.y.z"})
            scopeless = await http.post(url, json=INITIALIZE,
                                        headers={**ACCEPT, "Authorization": f"Bearer {issuer.token(scope='openid')}"})
            told = extract_resource_metadata_from_www_auth(bare)
            found = [await handle_protected_resource_response(await http.get(u))
                     for u in build_protected_resource_metadata_discovery_urls(told, url)]
    assert told == f"{base}/.well-known/oauth-protected-resource/mcp"
    assert (bare.status_code, extract_field_from_www_auth(bare, "error"), extract_scope_from_www_auth(bare)) == (
        401, None, BOTH)
    assert (forged.status_code, extract_field_from_www_auth(forged, "error")) == (401, "invalid_token")
    assert (scopeless.status_code, extract_field_from_www_auth(scopeless, "error"),
            extract_scope_from_www_auth(scopeless), extract_resource_metadata_from_www_auth(scopeless)) == (
        403, "insufficient_scope", "kelvo:read", told)
    # The path form, then the root form: one document, naming the issuer exactly as configured.
    assert len(found) == 3 and found[0] == found[1] == found[2]
    assert (str(found[0].resource), [str(a) for a in found[0].authorization_servers], found[0].scopes_supported) == (
        url, [issuer.url], ["kelvo:read", "kelvo:write"])
    assert (host.opened, list(engine.calls)) == (0, [])


async def test_a_good_token_answers_and_every_forged_or_misdirected_one_is_refused_with_nothing_done(engine, issuer):
    other = Issuer("/other")
    try:
        async with resource_server(engine, issuer) as (url, host, _):
            public_pem = issuer.keys["k1"].public_key().public_bytes(
                serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo)
            now = int(time.time())
            claims = {"iss": issuer.url, "sub": "user-1", "aud": url, "exp": now + 300, "scope": BOTH}
            refused = {
                "another audience": issuer.token(aud="https://other.example/api"),
                "expired": issuer.token(exp=now - 61),
                "not yet valid": issuer.token(nbf=now + 120),
                "another issuer": other.token(aud=url),
                "an unknown key": issuer.token("k9", key=ec.generate_private_key(ec.SECP256R1())),
                "alg none": unsigned({"alg": "none", "kid": "k1"}, claims),
                "HS256 keyed with the public key": unsigned(
                    {"alg": "HS256", "kid": "k1", "typ": "JWT"}, claims,
                    lambda data: hmac.new(public_pem, data, hashlib.sha256).digest()),
                "its own key in the header": issuer.token(
                    "k9", key=(own := ec.generate_private_key(ec.SECP256R1())),
                    headers={"jwk": json.loads(jwt.algorithms.ECAlgorithm.to_jwk(own.public_key()))}),
                "no sub": issuer.token(sub=None),
                "an empty sub": issuer.token(sub=""),
                "an ID token's typ": issuer.token(headers={"typ": "id_token+jwt"}),
            }
            statuses = {why: (await post(url, token)).status_code for why, token in refused.items()}
            assert (host.opened, list(engine.calls)) == (0, [])
            # Within the leeway, and through the SDK's client with a bearer header.
            async with client(url, token=issuer.token(exp=now - 30)) as c:
                status = reply_of(await c.call_tool("kelvo_status", {}))
    finally:
        other.close()
    assert statuses == dict.fromkeys(refused, 401)
    assert status["agent"]["key"] == "session"
    assert other.asked == []  # no key is ever fetched for an issuer not configured
    assert [key[0] for key, _ in host.agents.items()] == [f"{issuer.url}#user-1"]


async def test_keys_are_fetched_sparingly_and_a_rotation_is_picked_up_without_a_restart(engine, issuer):
    now = [1000.0]
    async with resource_server(engine, issuer, now=now) as (url, _, _):
        good = issuer.token()
        assert [(await post(url, good)).status_code for _ in range(3)] == [200] * 3
        # Found lazily: RFC 8414's inserted form (not served here), OpenID's appended form, the key set; once.
        assert issuer.asked == ["/.well-known/oauth-authorization-server/realms/team",
                                "/realms/team/.well-known/openid-configuration", "/jwks"]
        # A minute on, a stranger's unknown key: one fetch more, then none within the minute, however many come.
        now[0] += 61
        stranger = ec.generate_private_key(ec.SECP256R1())
        unknown = []

        async def stranger_posts(n):
            unknown.append((await post(url, issuer.token(f"x{n}", key=stranger))).status_code)

        async with anyio.create_task_group() as tg:  # at once: they wait for one fetch, never start another
            for n in range(20):
                tg.start_soon(stranger_posts, n)
        assert (unknown, issuer.fetched) == ([401] * 20, 2)
        # The issuer rotates to an RSA key k2; its tokens are refused until the minute is over, then fetched once.
        issuer.keys = {"k2": rsa.generate_private_key(public_exponent=65537, key_size=2048)}
        early = (await post(url, issuer.token("k2", alg="PS256"))).status_code
        now[0] += 61
        async with client(url, token=issuer.token("k2", alg="PS256")) as c:
            reply_of(await c.call_tool("kelvo_status", {}))
        retired = (await post(url, good)).status_code
    assert (early, retired, issuer.fetched) == (401, 401, 3)


async def test_a_read_scope_token_reads_and_what_it_tries_to_write_is_absent(engine, issuer):
    async with resource_server(engine, issuer) as (url, host, _):
        async with client(url, token=issuer.token(sub="reader", scope="kelvo:read")) as reader:
            offered = {t.name for t in (await reader.list_tools()).tools}
            page = reply_of(await reader.call_tool("kelvo_page_read", {"op": "get", "page_id": "pg_0009"}))
            write = await reader.call_tool("kelvo_doc_save", {"name": "from-a-reader", "body": "No."})
        async with client(url, token=issuer.token(sub="writer", scp=["kelvo:write"])) as writer:
            wrote = reply_of(await writer.call_tool("kelvo_doc_save", {"name": "from-a-writer", "body": "Yes."}))
            looked = await writer.call_tool("kelvo_docs_read", {"op": "get", "name": "from-a-reader"})
    assert page["title"] == "Sprint 42 planning notes"
    assert "kelvo_doc_save" not in offered and write.is_error and "not offered" in write.content[0].text
    assert wrote["page_id"] and looked.is_error
    assert not any("from-a-reader" in json.dumps(p) for p in engine.list_pages(500)["pages"])
    assert sorted(key[2] for key, _ in host.scopes.items()) == [False, True]


async def test_the_token_file_works_beside_oauth_under_its_own_names(engine, issuer):
    async with resource_server(engine, issuer, token="alice:tok-a\n") as (url, host, _):
        async with client(url, token="tok-a") as a, client(url, token=issuer.token(sub="alice")) as b:
            saved = reply_of(await a.call_tool("kelvo_doc_save", {"name": "by-alice", "body": "Hi."}))
            got = reply_of(await b.call_tool("kelvo_docs_read", {"op": "get", "name": "by-alice"}))
        wrong = await post(url, "tok-b")
    assert got["page_id"] == saved["page_id"] and wrong.status_code == 401
    assert sorted({key[0] for key, _ in host.agents.items()}) == ["alice", f"{issuer.url}#alice"]
    assert host.opened == 1  # one canvas, one profile, the same rights: one scope


async def test_metadata_naming_another_issuer_is_not_used(engine, issuer):
    issuer.docs = {"/.well-known/oauth-authorization-server/realms/team": {
        "issuer": issuer.url + "/", "jwks_uri": issuer.jwks_url}}
    async with resource_server(engine, issuer) as (url, _, _):
        refused = await post(url, issuer.token())
    assert refused.status_code == 401 and issuer.fetched == 0
    assert issuer.asked == ["/.well-known/oauth-authorization-server/realms/team",
                            "/realms/team/.well-known/openid-configuration"]


async def test_the_command_line_serves_oauth_beside_a_token_file(tmp_path, issuer):
    keys = tmp_path / "jwks.json"
    keys.write_text(json.dumps(issuer.jwks()))
    (tmp_path / "tokens").write_text("ops:tok-ops\n")
    down = "http://127.0.0.1:9/realms/down"  # nothing listens on the discard port: an issuer down at start
    resource = "https://kelvo.example/mcp"
    issuer.resource = "api://kelvo"
    with Process("kelvo_mcp.server", "--http", "127.0.0.1:0", "--resource-url", resource,
                 "--oauth-issuer", down, "--oauth-issuer", issuer.url, "--oauth-jwks", f"{issuer.url}={keys}",
                 "--oauth-jwks", f"{down}=http://127.0.0.1:9/jwks",
                 "--oauth-audience", "api://kelvo", "--oauth-read-scope", "docs.read",
                 "--oauth-write-scope", "docs.write", "--token-file", tmp_path / "tokens") as proc:
        base = proc.url.rsplit("/", 1)[0]
        async with httpx.AsyncClient() as http:
            meta = (await http.get(f"{base}/.well-known/oauth-protected-resource/mcp",
                                   headers={"Host": "kelvo.example"})).json()
        async with client(proc.url, token=issuer.token(scp="docs.read"), headers={"Host": "kelvo.example"}) as c:
            offered = {t.name for t in (await c.list_tools()).tools}
        async with client(proc.url, token="tok-ops") as c:
            reply_of(await c.call_tool("kelvo_doc_save", {"name": "by-ops", "body": "Yes."}))
        aimed_at_url = (await post(proc.url, issuer.token(aud=resource, scope="docs.read"))).status_code
        from_the_down_issuer = (await post(proc.url, issuer.token(iss=down, scope="docs.read"))).status_code
    assert meta == {"resource": resource, "authorization_servers": [down, issuer.url],
                    "scopes_supported": ["docs.read", "docs.write"], "bearer_methods_supported": ["header"],
                    "resource_name": "Kelvo MCP"}
    assert "kelvo_page_read" in offered and "kelvo_doc_save" not in offered
    assert (aimed_at_url, from_the_down_issuer) == (401, 401)
    # One token-file name, but OAuth lets any number of principals in: each gets a quarter of the bounds.
    assert any("each principal may hold 2500 of 10000 sessions" in line for line in proc.lines), proc.lines
    assert issuer.fetched == 0  # the key set came from the file


@pytest.mark.parametrize(("args", "words"), [
    (["--oauth-issuer", "https://login.example"], "--oauth-issuer needs --resource-url"),
    (["--resource-url", "https://kelvo.example/mcp"], "need --oauth-issuer"),
    (["--resource-url", "http://kelvo.example/mcp", "--oauth-issuer", "https://login.example"],
     "--resource-url http://kelvo.example/mcp must use https"),
    (["--resource-url", "https://kelvo.example/mcp", "--oauth-issuer", "http://login.example"],
     "--oauth-issuer http://login.example must use https"),
    (["--resource-url", "https://kelvo.example/mcp", "--oauth-issuer", "https://login.example",
      "--oauth-jwks", "https://elsewhere.example=https://elsewhere.example/jwks"], "ISSUER one of --oauth-issuer"),
    (["--resource-url", "https://kelvo.example/mcp", "--oauth-issuer", "https://login.example",
      "--oauth-jwks", "https://login.example=/nonexistent/jwks.json"], "cannot read key set"),
])
def test_command_lines_refused_at_start(args, words, capsys):
    with pytest.raises(SystemExit) as exit_:
        cli.main(["--http", "0.0.0.0:0", *args])
    lines = capsys.readouterr().err.strip().splitlines()
    assert exit_.value.code == 2 and words in lines[-1]
    with pytest.raises(SystemExit):
        cli.main(["--oauth-issuer", "https://login.example", "--resource-url", "https://kelvo.example/mcp"])
    assert "go with --http" in capsys.readouterr().err
