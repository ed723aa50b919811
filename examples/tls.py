"""TLS for the example drivers: contexts with ALPN, the protocol it chose, test certificates.

Nothing here depends on asyncio: the contexts serve `loop.create_server(ssl=...)`
and `loop.start_tls()` as well as `context.wrap_socket()` on a blocking socket,
and `negotiated()` reads an `ssl.SSLObject` or an `ssl.SSLSocket` alike.

- `server_context(cert, key)`: offers h2 and http/1.1; the client's choice wins
  (no ALPN from the client: HTTP/1.1).
- `client_context(cafile, insecure, http11_only)`: h2 preferred unless only
  HTTP/1.1 is wanted; the system's trust store unless `cafile` names one.
- `make_certificates(directory)`: a throw-away CA and a server certificate for
  localhost and 127.0.0.1, made by the `openssl` command, for tests and demos
  (`examples/tls.py DIRECTORY` from the command line).
"""

import ipaddress
import ssl
import subprocess
from pathlib import Path
from typing import NamedTuple

H2 = "h2"
HTTP11 = "http/1.1"


def server_context(cert, key, protocols=(H2, HTTP11)):
    """A server context with `cert` (its chain, PEM) and `key`, offering `protocols` by ALPN."""
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    # HTTP/2 over TLS needs TLS 1.2 or later (RFC 9113, section 9.2).
    ctx.minimum_version = ssl.TLSVersion.TLSv1_2
    ctx.load_cert_chain(cert, key)
    ctx.set_alpn_protocols(list(protocols))
    return ctx


def client_context(cafile=None, insecure=False, http11_only=False):
    """A client context: verifies the server against `cafile` (default: the system
    store) and its name, unless `insecure`; offers h2, then http/1.1, by ALPN."""
    ctx = ssl.create_default_context(cafile=cafile)
    ctx.minimum_version = ssl.TLSVersion.TLSv1_2
    if insecure:
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
    ctx.set_alpn_protocols([HTTP11] if http11_only else [H2, HTTP11])
    return ctx


def negotiated(tls):
    """The protocol a finished handshake chose: "h2" or "http/1.1" (no ALPN: HTTP/1.1).

    `tls` is an SSLObject or SSLSocket; None (cleartext) also gives None.
    """
    if tls is None:
        return None
    return H2 if tls.selected_alpn_protocol() == H2 else HTTP11


def describe_failure(exc, host, port):
    """One line saying why the handshake with host:port failed."""
    where = f"{host}:{port}"
    if isinstance(exc, ssl.SSLCertVerificationError):
        why = exc.verify_message or exc.reason or str(exc)
        return (f"TLS to {where}: certificate verify failed: {why} "
                "(--cacert FILE trusts another CA; -k skips the check)")
    if isinstance(exc, ssl.SSLError):
        return f"TLS handshake with {where} failed: {exc.reason or exc}"
    detail = f": {str(exc).strip()}" if str(exc).strip() else ""
    return f"TLS handshake with {where} failed: {type(exc).__name__}{detail}"


class Certificates(NamedTuple):
    ca: Path  # the CA certificate: what a client trusts (--cacert)
    cert: Path  # the server's certificate, issued by the CA
    key: Path  # the server's private key


def make_certificates(directory, names=("localhost", "127.0.0.1"), openssl="openssl"):
    """A new CA and a server certificate for `names` (DNS names or IP addresses),
    written to `directory`; valid for two days. Raises CalledProcessError with
    openssl's own message when it fails."""
    d = Path(directory)
    d.mkdir(parents=True, exist_ok=True)
    ca, ca_key, cert, key = d / "ca.pem", d / "ca.key", d / "cert.pem", d / "key.pem"
    alt = ",".join(("IP:" if _is_address(n) else "DNS:") + n for n in names)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2"]
    _openssl([openssl, "req", "-x509", *ec, "-keyout", ca_key, "-out", ca,
              "-subj", "/CN=velmora test CA",
              "-addext", "basicConstraints=critical,CA:TRUE",
              "-addext", "keyUsage=critical,keyCertSign,cRLSign"])
    _openssl([openssl, "req", "-x509", "-CA", ca, "-CAkey", ca_key, *ec,
              "-keyout", key, "-out", cert, "-subj", f"/CN={names[0]}",
              "-addext", f"subjectAltName={alt}",
              "-addext", "basicConstraints=critical,CA:FALSE",
              "-addext", "keyUsage=critical,digitalSignature",
              "-addext", "extendedKeyUsage=serverAuth"])
    ca_key.unlink()  # nothing else is ever signed with it
    return Certificates(ca, cert, key)


def _openssl(argv):
    r = subprocess.run([str(a) for a in argv], capture_output=True, timeout=30)
    if r.returncode:
        raise subprocess.CalledProcessError(r.returncode, argv[:2], r.stdout, r.stderr)


def _is_address(name):
    try:
        ipaddress.ip_address(name)
        return True
    except ValueError:
        return False


if __name__ == "__main__":
    import sys

    if len(sys.argv) != 2:
        sys.exit("usage: examples/tls.py DIRECTORY  (writes ca.pem, cert.pem, key.pem there)")
    made = make_certificates(sys.argv[1])
    print(f"CA (for --cacert): {made.ca}\ncertificate: {made.cert}\nkey: {made.key}")
