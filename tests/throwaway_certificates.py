"""Throwaway certificates for the signing tests, made with openssl in a folder
of the caller's: PKCS#12 files for code signing (with and without a
password), without the code-signing usage, with a key usage that leaves
digital signatures out, issued by a CA whose extended key usage leaves code
signing out, expired, not valid yet, and without a private key."""
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


def export(folder, password, name, cert, key=None, chain=None):
    args = ['pkcs12', '-export', '-in', cert, '-out', name, '-passout', 'env:PFX_PASSWORD']
    args += ['-certfile', chain] if chain else []
    openssl(folder, password, *(args + (['-inkey', key] if key else ['-nokeys'])))
    return Path(folder) / name


def issue_under_server_ca(folder, password):
    """A code-signing certificate from a CA that may vouch for servers only."""
    openssl(folder, password, 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout',
            'server_ca.key', '-out', 'server_ca.pem', '-days', '30', '-subj', '/CN=Server CA',
            '-addext', 'basicConstraints=critical,CA:TRUE', '-addext', 'keyUsage=keyCertSign',
            '-addext', 'extendedKeyUsage=serverAuth')
    openssl(folder, password, 'req', '-new', '-newkey', 'rsa:2048', '-nodes', '-keyout',
            'under_server_ca.key', '-out', 'under_server_ca.csr', '-subj', '/CN=Orvane Test')
    (Path(folder) / 'leaf.ext').write_text('extendedKeyUsage = codeSigning\n')
    openssl(folder, password, 'x509', '-req', '-in', 'under_server_ca.csr', '-CA',
            'server_ca.pem', '-CAkey', 'server_ca.key', '-CAcreateserial', '-days', '30',
            '-extfile', 'leaf.ext', '-out', 'under_server_ca.pem')


def make(folder, password):
    """{'signing', 'no_password', 'no_usage', 'no_signature_usage', 'under_server_ca',
    'expired', 'not_yet_valid', 'no_key'}: PKCS#12 paths; 'ca': the signing
    certificate, to verify against; 'key': its private key (PKCS#8 PEM)."""
    folder = Path(folder)
    for name, extensions in (('signing', ['extendedKeyUsage=codeSigning']),
                             ('no_usage', ['extendedKeyUsage=serverAuth']),
                             ('no_signature_usage', ['extendedKeyUsage=codeSigning',
                                                     'keyUsage=keyEncipherment'])):
        openssl(folder, password, 'req', '-x509', '-newkey', 'rsa:2048', '-nodes',
                '-keyout', name + '.key', '-out', name + '.pem', '-days', '30',
                '-subj', '/CN=Orvane Test ' + name,
                *[arg for extension in extensions for arg in ('-addext', extension)])
    issue_under_server_ca(folder, password)
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
        'no_password': export(folder, '', 'no_password.pfx', 'signing.pem', 'signing.key'),
        'no_signature_usage': export(folder, password, 'no_signature_usage.pfx',
                                     'no_signature_usage.pem', 'no_signature_usage.key'),
        'under_server_ca': export(folder, password, 'under_server_ca.pfx', 'under_server_ca.pem',
                                  'under_server_ca.key', 'server_ca.pem'),
        'no_usage': export(folder, password, 'no_usage.pfx', 'no_usage.pem', 'no_usage.key'),
        'expired': export(folder, password, 'expired.pfx', 'expired.pem', 'expired.key'),
        'not_yet_valid': export(folder, password, 'not_yet_valid.pfx', 'not_yet_valid.pem',
                                'not_yet_valid.key'),
        'no_key': export(folder, password, 'no_key.pfx', 'signing.pem'),
        'ca': folder / 'signing.pem',
        'key': folder / 'signing.key',
    }
