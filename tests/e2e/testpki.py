"""Test certificates for the https:// tests, made with the openssl command
at test time, and the means to trust their CA in one Wine prefix only.

    pki = testpki.make_pki(tmpdir)
    with testpki.trusted_ca(pki.ca):             # in the tree's prefix
        tls = {"good": harness.Tls(pki.good.chain, pki.good.key)}
        with harness.Nginx(root, tls=tls) as web:
            url = web.https_url("a.png", "good")  # https://localhost:<port>/a.png

make_pki gives a root CA (`ca`, to be trusted) and leaves signed by it for
the name localhost (and the addresses 127.0.0.1 and ::1), each a Leaf of
paths: good; mismatch (only the name wrong.invalid); expired (2020-2021);
notyet (from 2100 on); untrusted (signed by `other_ca`, never trusted); and
leaves that only lax checks pass: ip_as_dns (127.0.0.1 as a DNS name),
ip_wildcard (DNS:*.0.0.1), cn_only (no subject-alternative-name list, the
common name localhost), sha1 (signed with ECDSA and SHA-1), rsa1024 (a
1024-bit RSA key). Keys are EC P-256 unless said otherwise: the whole set
takes about a second.

A prefix trusts a CA through a registry value that crypt32 reads as its
current user's Root store:
HKCU\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\<SHA-1>
with `Blob` = the serialized certificate (see trust_reg).
"""

import contextlib
import hashlib
import os
import ssl
import struct
import subprocess
import tempfile
from types import SimpleNamespace

import harness

OPENSSL_SECONDS = 20.0  # bound on one openssl run
REGEDIT_SECONDS = 120.0  # bound on one regedit run (may boot the prefix first)
CA_DAYS = 3650
CA_ATTEMPTS = 20  # bound on re-signing a certificate whose signature Wine misreads (1 in 128)
LEAF_DAYS = 825
LOCALHOST_SAN = "DNS:localhost,IP:127.0.0.1,IP:::1"
ROOT_KEY = r"HKEY_CURRENT_USER\Software\Microsoft\SystemCertificates\Root\Certificates"
CERT_CERT_PROP_ID = 0x20  # the property whose bytes are the certificate's DER

EC_P256 = ("ec", "ec_paramgen_curve:P-256")
# name, issuing CA, subjectAltName (None: no list; the common name is
# localhost then), validity (start, end) or None for today on, the key
# (openssl's -newkey and -pkeyopt), the signature's digest
LEAVES = (
    ("good", "ca", LOCALHOST_SAN, None, EC_P256, "sha256"),
    ("mismatch", "ca", "DNS:wrong.invalid", None, EC_P256, "sha256"),
    ("expired", "ca", LOCALHOST_SAN, ("20200101000000Z", "20210101000000Z"), EC_P256, "sha256"),
    ("notyet", "ca", LOCALHOST_SAN, ("21000101000000Z", "21010101000000Z"), EC_P256, "sha256"),
    ("untrusted", "other_ca", LOCALHOST_SAN, None, EC_P256, "sha256"),
    ("ip_as_dns", "ca", "DNS:127.0.0.1", None, EC_P256, "sha256"),
    ("ip_wildcard", "ca", "DNS:*.0.0.1", None, EC_P256, "sha256"),
    ("cn_only", "ca", None, None, EC_P256, "sha256"),
    ("sha1", "ca", LOCALHOST_SAN, None, EC_P256, "sha1"),
    ("rsa1024", "ca", LOCALHOST_SAN, None, ("rsa:1024", None), "sha256"),
)
# The leaves a server of today's OpenSSL serves only at security level 0.
WEAK_LEAVES = ("sha1", "rsa1024")

# `openssl ca` is the one openssl 3.0 command that signs with a validity in
# the past or the future; it needs a database, hence this configuration.
CA_CONF = """\
[ca]
default_ca = signer
[signer]
database = {dir}/index-{ca}.txt
new_certs_dir = {dir}/issued
serial = {dir}/serial-{ca}
default_md = sha256
policy = any_name
unique_subject = no
[any_name]
commonName = supplied
[leaf]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature{encipherment}
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
{san}
"""


def openssl(*args):
    """Runs openssl with `args`; raises with its message when it fails."""
    proc = subprocess.run(["openssl"] + list(args), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=OPENSSL_SECONDS)
    if proc.returncode != 0:
        raise RuntimeError("openssl %s failed: %s"
                           % (args[0], proc.stderr.decode("utf-8", "replace")))


def _der_items(data):
    """The (tag, contents) of each DER element that `data` holds in a row."""
    items, i = [], 0
    while i < len(data):
        tag, size = data[i], data[i + 1]
        i += 2
        if size & 0x80:
            count = size & 0x7F
            size = int.from_bytes(data[i:i + count], "big")
            i += count
        items.append((tag, data[i:i + size]))
        i += size
    return items


def _short_signature(der):
    """True when r or s of the certificate's ECDSA signature has fewer than
    32 significant bytes."""
    (_, cert), = _der_items(der)
    bits = _der_items(cert)[2][1]  # tbsCertificate, algorithm, signature
    (_, pair), = _der_items(bits[1:])  # after the unused-bits byte
    return any(len(value.lstrip(b"\0")) < 32 for _, value in _der_items(pair))


def _make_ca(directory, name, common_name):
    """A self-signed CA. Wine 8's crypt32 finds an ECDSA signature invalid
    (CERT_TRUST_IS_NOT_SIGNATURE_VALID) when r or s is short, so such a CA
    is made again: ECDSA signatures are random."""
    cert = os.path.join(directory, name + ".pem")
    key = os.path.join(directory, name + ".key")
    for _ in range(CA_ATTEMPTS):
        openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                "-nodes", "-keyout", key, "-out", cert, "-days", str(CA_DAYS), "-subj",
                "/CN=" + common_name, "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        if not _short_signature(_der(cert)):
            return cert, key
    raise RuntimeError("no CA with a full-length signature in %d attempts" % CA_ATTEMPTS)


def _make_leaf(directory, name, ca_name, san, validity, key, digest, cas):
    ca_cert, ca_key = cas[ca_name]
    base = os.path.join(directory, name)
    leaf = SimpleNamespace(cert=base + ".pem", key=base + ".key", chain=base + "-chain.pem",
                           weak=name in WEAK_LEAVES)
    conf = base + ".cnf"
    rsa = key[0].startswith("rsa")
    with open(conf, "w") as f:
        f.write(CA_CONF.format(dir=directory, ca=ca_name,
                               san="subjectAltName = " + san if san else "",
                               encipherment=", keyEncipherment" if rsa else ""))
    keyopt = ["-pkeyopt", key[1]] if key[1] else []
    openssl("req", "-new", "-newkey", key[0], *keyopt, "-nodes", "-keyout", leaf.key,
            "-out", base + ".csr", "-subj", "/CN=" + (name if san else "localhost"))
    dates = (["-startdate", validity[0], "-enddate", validity[1]] if validity
             else ["-days", str(LEAF_DAYS)])
    # Signed again while r or s of the signature is short: Wine 8's crypt32
    # finds such an ECDSA signature invalid, a leaf's as well as a root's
    # (about 1 in 128 of each; Windows checks them right).
    for _ in range(CA_ATTEMPTS):
        openssl("ca", "-batch", "-notext", "-rand_serial", "-config", conf, "-extensions",
                "leaf", "-cert", ca_cert, "-keyfile", ca_key, "-in", base + ".csr",
                "-md", digest, "-out", leaf.cert, *dates)
        if not _short_signature(_der(leaf.cert)):
            break
    else:
        raise RuntimeError("no %s leaf with a full-length signature" % name)
    with open(leaf.chain, "w") as out:
        for path in (leaf.cert, ca_cert):
            with open(path) as f:
                out.write(f.read())
    return leaf


def make_pki(directory):
    """Makes the CAs and leaves in `directory` (which must exist); returns a
    namespace: ca, ca_key, other_ca, other_ca_key (PEM paths) and one Leaf
    per name in LEAVES (cert, key, chain = leaf + its CA, all PEM paths);
    `leaves` maps the names to them as well."""
    directory = os.path.abspath(directory)
    os.makedirs(os.path.join(directory, "issued"), exist_ok=True)
    cas = {"ca": _make_ca(directory, "ca", "Test Root CA"),
           "other_ca": _make_ca(directory, "other_ca", "Untrusted Test CA")}
    for ca_name in cas:
        open(os.path.join(directory, "index-%s.txt" % ca_name), "w").close()
    leaves = {name: _make_leaf(directory, name, ca_name, san, validity, key, digest, cas)
              for name, ca_name, san, validity, key, digest in LEAVES}
    return SimpleNamespace(ca=cas["ca"][0], ca_key=cas["ca"][1], other_ca=cas["other_ca"][0],
                           other_ca_key=cas["other_ca"][1], leaves=leaves, **leaves)


# ------------------------------------------------------ trust in one prefix

def _der(ca_pem_path):
    with open(ca_pem_path) as f:
        return ssl.PEM_cert_to_DER_cert(f.read())


def _key(ca_pem_path):
    return ROOT_KEY + "\\" + hashlib.sha1(_der(ca_pem_path)).hexdigest().upper()


def trust_reg(ca_pem_path):
    """The .reg text (REGEDIT4, ASCII, CR LF) that adds the CA to the
    current user's Root store. The Blob is a serialized store element: one
    record per property, (id, 1, length) as little-endian DWORDs, then the
    bytes; the certificate record alone is enough for crypt32, which checks
    that the key's name is the SHA-1 of those bytes."""
    der = _der(ca_pem_path)
    blob = struct.pack("<III", CERT_CERT_PROP_ID, 1, len(der)) + der
    hexes = ["%02x" % b for b in blob]
    # A long value goes on continuation lines, each ending in a backslash.
    rows = [",".join(hexes[i:i + 25]) for i in range(0, len(hexes), 25)]
    value = '"Blob"=hex:' + ",\\\r\n  ".join(rows)
    return "REGEDIT4\r\n\r\n[%s]\r\n%s\r\n\r\n" % (_key(ca_pem_path), value)


def untrust_reg(ca_pem_path):
    """The .reg text that removes what trust_reg added."""
    return "REGEDIT4\r\n\r\n[-%s]\r\n\r\n" % _key(ca_pem_path)


def wine_path(path):
    """The Windows name of a Linux file, through Wine's drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def _regedit(text, runner):
    """Loads `text` with `<runner> regedit /s` (the runner picks the prefix)."""
    fd, path = tempfile.mkstemp(prefix="kesta-trust-", suffix=".reg")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(text.encode("ascii"))
        with tempfile.TemporaryFile() as err:
            # Output to a file, not a pipe: Wine's services may outlive regedit.
            proc = subprocess.run([runner or harness.wine_runner(), "regedit", "/s",
                                   wine_path(path)], stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=err,
                                  env=harness.wine_env(), timeout=REGEDIT_SECONDS)
            if proc.returncode != 0:
                err.seek(0)
                raise RuntimeError("regedit exited %d: %s" % (
                    proc.returncode, err.read().decode("utf-8", "replace")))
    finally:
        os.unlink(path)


def trust_in_prefix(ca_pem_path, runner=None):
    """Makes the prefix of `runner` (default: the tree's launcher) trust the CA."""
    _regedit(trust_reg(ca_pem_path), runner)


def untrust_in_prefix(ca_pem_path, runner=None):
    _regedit(untrust_reg(ca_pem_path), runner)


@contextlib.contextmanager
def trusted_ca(ca_pem_path, runner=None):
    """Trusts the CA in the prefix while the context lasts, even on errors."""
    trust_in_prefix(ca_pem_path, runner)
    try:
        yield
    finally:
        untrust_in_prefix(ca_pem_path, runner)
