"""Self-signed certificates for the TLS test servers (serve_ftp.py, hostile_tls.py).

Made with python3-cryptography, RSA 2048: Debian's vsftpd offers only
ECDHE-RSA-AES256-GCM-SHA384 for TLS 1.2 unless told otherwise, so an EC key would leave it
no TLS 1.2 cipher at all.
"""

import datetime
import hashlib
import ipaddress
import os

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID


class Certificate:
    def __init__(self, cert_path, key_path, fingerprint):
        self.cert_path = cert_path
        self.key_path = key_path
        self.fingerprint = fingerprint  # SHA-256 of the DER, 64 uppercase hex digits


def new_key():
    return rsa.generate_private_key(public_exponent=65537, key_size=2048)


def make_certificate(directory, stem, dns_names=("localhost",), ip_addresses=("127.0.0.1",),
                     expired=False, key=None):
    """Writes STEM.pem and STEM.key into directory; the key may be shared between certificates."""
    key = key or new_key()
    now = datetime.datetime.now(datetime.timezone.utc)
    if expired:
        not_before, not_after = now - datetime.timedelta(days=30), now - datetime.timedelta(days=1)
    else:
        # A little in the past, so that a client whose clock is slightly behind accepts it.
        not_before, not_after = now - datetime.timedelta(hours=1), now + datetime.timedelta(days=30)
    common_name = dns_names[0] if dns_names else ip_addresses[0]
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)])
    alt_names = [x509.DNSName(n) for n in dns_names]
    alt_names += [x509.IPAddress(ipaddress.ip_address(a)) for a in ip_addresses]
    public = key.public_key()
    # What `openssl req -x509` writes (a CA that is its own leaf), plus the key usages that
    # strict verifiers (X509_V_FLAG_X509_STRICT) want to see on such a certificate.
    cert = (x509.CertificateBuilder()
            .subject_name(name)
            .issuer_name(name)
            .public_key(public)
            .serial_number(x509.random_serial_number())
            .not_valid_before(not_before)
            .not_valid_after(not_after)
            .add_extension(x509.SubjectAlternativeName(alt_names), critical=False)
            .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
            .add_extension(x509.KeyUsage(digital_signature=True, content_commitment=False,
                                         key_encipherment=True, data_encipherment=False,
                                         key_agreement=False, key_cert_sign=True,
                                         crl_sign=False, encipher_only=False,
                                         decipher_only=False), critical=True)
            .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]),
                           critical=False)
            .add_extension(x509.SubjectKeyIdentifier.from_public_key(public), critical=False)
            .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(public),
                           critical=False)
            .sign(key, hashes.SHA256()))
    cert_path = os.path.join(directory, stem + ".pem")
    key_path = os.path.join(directory, stem + ".key")
    # Tests read the certificate as a CA file, so it is world-readable; the key is not.
    fd = os.open(key_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "wb") as out:
        out.write(key.private_bytes(serialization.Encoding.PEM,
                                    serialization.PrivateFormat.TraditionalOpenSSL,
                                    serialization.NoEncryption()))
    fd = os.open(cert_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    with os.fdopen(fd, "wb") as out:
        out.write(cert.public_bytes(serialization.Encoding.PEM))
    fingerprint = hashlib.sha256(cert.public_bytes(serialization.Encoding.DER)).hexdigest()
    return Certificate(cert_path, key_path, fingerprint.upper())
