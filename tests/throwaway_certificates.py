"""Throwaway certificates for the signing tests, made with openssl in a folder
of the caller's: PKCS#12 files for code signing, without the code-signing
usage, expired, not valid yet, and without a private key."""
import os
import subprocess
from pathlib import Path

CA_CONFIG = '''[ca]
default_ca = d
[d]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = p
[p]
commonName = supplied
[ext]
extendedKeyUsage = codeSigning
'''


def openssl(folder, password, *args):
    subprocess.run(['openssl', *args], cwd=folder, check=True, capture_output=True,
                   env=dict(os.environ, PFX_PASSWORD=password))


def export(folder, password, name, cert, key=None):
    args = ['pkcs12', '-export', '-in', cert, '-out', name, '-passout', 'env:PFX_PASSWORD']
    openssl(folder, password, *(args + (['-inkey', key] if key else ['-nokeys'])))
    return Path(folder) / name


def make(folder, password):
    """{'signing', 'no_usage', 'expired', 'not_yet_valid', 'no_key'}: PKCS#12 paths; 'ca': the
    signing certificate, to verify against."""
    folder = Path(folder)
    for name, usage in (('signing', 'codeSigning'), ('no_usage', 'serverAuth')):
        openssl(folder, password, 'req', '-x509', '-newkey', 'rsa:2048', '-nodes',
                '-keyout', name + '.key', '-out', name + '.pem', '-days', '30',
                '-subj', '/CN=Orvane Test ' + name, '-addext', 'extendedKeyUsage=' + usage)
    # Certificates outside their dates need explicit ones, which only `openssl ca` takes.
    (folder / 'index.txt').write_text('')
    (folder / 'serial').write_text('01\n')
    (folder / 'ca.cnf').write_text(CA_CONFIG)
    for name, start, end in (('expired', '20200101000000Z', '20200201000000Z'),
                             ('not_yet_valid', '20990101000000Z', '20990201000000Z')):
        openssl(folder, password, 'req', '-new', '-newkey', 'rsa:2048', '-nodes',
                '-keyout', name + '.key', '-out', name + '.csr', '-subj', '/CN=Orvane Test ' + name)
        openssl(folder, password, 'ca', '-batch', '-config', 'ca.cnf', '-selfsign',
                '-keyfile', name + '.key', '-in', name + '.csr', '-out', name + '.pem',
                '-startdate', start, '-enddate', end, '-extensions', 'ext', '-notext')
    return {
        'signing': export(folder, password, 'signing.pfx', 'signing.pem', 'signing.key'),
        'no_usage': export(folder, password, 'no_usage.pfx', 'no_usage.pem', 'no_usage.key'),
        'expired': export(folder, password, 'expired.pfx', 'expired.pem', 'expired.key'),
        'not_yet_valid': export(folder, password, 'not_yet_valid.pfx', 'not_yet_valid.pem',
                                'not_yet_valid.key'),
        'no_key': export(folder, password, 'no_key.pfx', 'signing.pem'),
        'ca': folder / 'signing.pem',
    }
