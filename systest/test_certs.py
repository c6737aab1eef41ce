"""Test certificates made with the openssl command: a CA, a server
certificate for 127.0.0.1 and localhost, and a client certificate, all
signed by that CA (EC keys on prime256v1, so making them takes a moment).

    certs = make_certs(directory)          # {"ca": ..., "server": ..., ...}
    install(certs, board.root)             # where cloudd and verifyd look

A directory that already holds a complete set is used as it is.
"""

import os
import shutil
import subprocess
import tempfile

FILES = {
    "ca": "ca.pem", "ca_key": "ca.key",
    "server": "server.pem", "server_key": "server.key",
    "client": "client.pem", "client_key": "client.key",
}

# A configuration of our own, so that neither the machine's openssl.cnf nor
# its default extensions end up in the certificates.
_CONFIG = """\
[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[server]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, keyAgreement
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1, DNS:localhost
authorityKeyIdentifier = keyid
[client]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, keyAgreement
extendedKeyUsage = clientAuth
authorityKeyIdentifier = keyid
"""

_SUBJECTS = {"ca": "/CN=TQ8 test CA", "server": "/CN=localhost",
             "client": "/O=TQ8 test/CN=TQ8HUB test client"}


def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE)


def _new_key(name, cwd):
    # TQ8_TEST_CERT_KEY=rsa:BITS makes RSA keys instead of P-256 ones (for
    # measuring a handshake with the keys deployed servers often use).
    kind = os.environ.get("TQ8_TEST_CERT_KEY", "")
    if kind.startswith("rsa:"):
        _openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:" + kind[4:],
                 "-out", name + ".key", cwd=cwd)
        return
    _openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:prime256v1",
             "-out", name + ".key", cwd=cwd)


def _signed(name, serial, cwd):
    """name.key and name.pem, signed by ca.key."""
    _new_key(name, cwd)
    _openssl("req", "-config", "openssl.cnf", "-new", "-key", name + ".key",
             "-subj", _SUBJECTS[name], "-out", name + ".csr", cwd=cwd)
    _openssl("x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
             "-set_serial", str(serial), "-days", "3650", "-extfile", "openssl.cnf",
             "-extensions", name, "-out", name + ".pem", cwd=cwd)


def make_certs(directory):
    """Makes the set in `directory` (created when missing) unless it is there
    already; returns {kind: absolute path} with the kinds of FILES."""
    directory = os.path.abspath(directory)
    paths = {kind: os.path.join(directory, name) for kind, name in FILES.items()}
    if all(os.path.exists(p) for p in paths.values()):
        return paths
    os.makedirs(directory, exist_ok=True)
    # Made in a scratch directory and moved in one file at a time, the
    # client certificate last, so a half-made set is never taken as done.
    with tempfile.TemporaryDirectory(dir=directory) as work:
        with open(os.path.join(work, "openssl.cnf"), "w") as f:
            f.write(_CONFIG)
        _new_key("ca", work)
        _openssl("req", "-config", "openssl.cnf", "-new", "-x509", "-key", "ca.key",
                 "-subj", _SUBJECTS["ca"], "-days", "3650", "-set_serial", "1",
                 "-extensions", "ca", "-out", "ca.pem", cwd=work)
        _signed("server", 2, work)
        _signed("client", 3, work)
        for kind in ("ca_key", "ca", "server_key", "server", "client_key", "client"):
            os.replace(os.path.join(work, FILES[kind]), paths[kind])
    return paths


def install(certs, root):
    """Copies the client side of a set below an off-target root: the client
    certificate, its key and the CA as root/tolvek.pem, root/tolvek.key and
    root/vk_ca.pem (verifyd), the CA as etc/server.crt (cloudd)."""
    targets = {"client": "root/tolvek.pem", "client_key": "root/tolvek.key",
               "ca": "root/vk_ca.pem"}
    for kind, relative in list(targets.items()) + [("ca", "etc/server.crt")]:
        target = os.path.join(root, relative)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(certs[kind], target)


if __name__ == "__main__":
    import sys
    for kind, path in make_certs(sys.argv[1] if len(sys.argv) > 1 else ".").items():
        print("%-10s %s" % (kind, path))
